// cx ls: the folders of a container, or the files of one folder.
#include "Command.h"

#include "Arguments.h"
#include "ContentContainerDatabase.h"
#include "FXPath.h"
#include "Options.h"
#include "Output.h"

#include <CLI/CLI.hpp>
#include <cstdio>

namespace cxcli {

namespace {

int RunList(const std::string& container, const std::string* argument, bool longFormat)
{
    std::string folder;
    bool folderOnly = false;
    if (argument != nullptr) {
        if (!AbsolutePath(*argument, folder, folderOnly))
            return kTrouble;
        FXPath::AppendTrailingDelimiter(folder);
    }
    auto db = OpenForReading(container);
    if (!db)
        return kTrouble;
    FX::CSQLite3QueryPtr query;
    int nameColumn = 1;
    if (argument == nullptr) {
        CKoError error = db->QueryFolders(query);
        if (error.IsError())
            return Fail(container, Cause(error));
    } else {
        int64_t folderId = -1;
        CKoError error = db->QueryFolderId(folder, folderId);
        if (FXErrorUtil::IsWin32(error, KO_ERROR_NOT_FOUND)) {
            std::fprintf(stderr, "cx: %s: no such folder\n", EscapeLine(folder).c_str());
            return kReported;
        }
        if (!error.IsError())
            error = db->QueryFiles(folderId, query);
        if (error.IsError())
            return Fail(container, Cause(error));
        nameColumn = 2;
    }
    try {
        const int idColumn = 0;
        const int metadataColumn = query->FieldIndex("Metadata");
        // A write error ends the listing: nothing more could be shown.
        for (; !query->Eof() && !std::ferror(stdout); query->NextRow()) {
            const std::string name = query->GetStringField(nameColumn, "");
            if (longFormat)
                Print(stdout, "%s\t%lld\t%s\n", EscapeLine(name).c_str(),
                      static_cast<long long>(query->GetInt64Field(idColumn, -1)),
                      EscapeLine(query->GetStringField(metadataColumn, "")).c_str());
            else
                Print(stdout, "%s\n", EscapeLine(name).c_str());
        }
    } catch (const FX::CSQLite3Exception& exception) {
        return Fail(container, exception.what());
    }
    return kClean;
}


class ListCommand : public Command {
public:
    CLI::App& Define(CLI::App& app) override
    {
        command_ = app.add_subcommand("ls", "List the folders, or the files of one folder");
        command_->add_option("CONTAINER", container_, "Container file")->required();
        command_->add_option("FOLDER", folder_, "Folder whose files to list");
        command_->add_flag("-l,--long", longFormat_, "Add ids and metadata");
        return *command_;
    }

    int Run(const std::string&) override
    {
        if (!NamesGiven("container", container_))
            return kTrouble;
        return RunList(container_, command_->count("FOLDER") != 0 ? &folder_ : nullptr, longFormat_);
    }

private:
    CLI::App* command_ = nullptr;
    std::string container_;
    std::string folder_;
    bool longFormat_ = false;
};

}  // namespace

std::unique_ptr<Command> MakeListCommand() { return std::make_unique<ListCommand>(); }

}  // namespace cxcli
