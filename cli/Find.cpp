// cx find: the ids and metadata of a file or folder.
#include "Command.h"

#include "Arguments.h"
#include "ContentContainer.h"
#include "FXPath.h"
#include "Options.h"
#include "Output.h"

#include <CLI/CLI.hpp>

namespace cxcli {

namespace {

int RunFind(const std::string& container, const std::string& argument)
{
    std::string path;
    bool folderOnly = false;
    if (!AbsolutePath(argument, path, folderOnly) || !CheckContainer(container))
        return kTrouble;
    CX::CContentContainer box;
    CKoError error = box.SetName(container);
    if (!error.IsError())
        error = box.OpenExistingReadOnly();
    if (error.IsError())
        return Fail(container, Cause(error));
    int64_t folderId = -1;
    int64_t fileId = -1;
    std::string metadata;
    CTimeStamp updated;
    if (!folderOnly) {
        std::string folder;
        std::string name;
        FXPath::SplitParentPath(path, folder, name);
        error = box.QueryFolderId(folder, folderId);
        if (!error.IsError())
            error = box.QueryFile(folderId, name, fileId, metadata, updated);
        if (!error.IsError()) {
            Print(stdout, "file\t%s\nfolder id\t%lld\nfile id\t%lld\nmetadata\t%s\n", EscapeLine(path).c_str(),
                  static_cast<long long>(folderId), static_cast<long long>(fileId),
                  EscapeLine(metadata).c_str());
            return kClean;
        }
        if (!FXErrorUtil::IsWin32(error, KO_ERROR_NOT_FOUND))
            return Fail(path, Cause(error));
    }
    const std::string fileForm = path;
    FXPath::AppendTrailingDelimiter(path);  // not a file: perhaps a folder
    error = box.QueryFolderId(path, folderId, metadata);
    if (!error.IsError()) {
        Print(stdout, "folder\t%s\nfolder id\t%lld\nmetadata\t%s\n", EscapeLine(path).c_str(),
              static_cast<long long>(folderId), EscapeLine(metadata).c_str());
        return kClean;
    }
    if (!FXErrorUtil::IsWin32(error, KO_ERROR_NOT_FOUND))
        return Fail(path, Cause(error));
    std::fprintf(stderr, "cx: %s: not found\n", EscapeLine(folderOnly ? path : fileForm).c_str());
    return kReported;
}


class FindCommand : public Command {
public:
    CLI::App& Define(CLI::App& app) override
    {
        auto* command = app.add_subcommand(
            "find", "Look a file or folder up by its path (relative ones from the current folder; a PATH ending with / "
                    "names only a folder)");
        command->add_option("CONTAINER", container_, "Container file")->required();
        command->add_option("PATH", path_, "Path of the file or folder")->required();
        return *command;
    }

    int Run(const std::string&) override
    {
        if (!NamesGiven("container", container_))
            return kTrouble;
        return RunFind(container_, path_);
    }

private:
    std::string container_;
    std::string path_;
};

}  // namespace

std::unique_ptr<Command> MakeFindCommand() { return std::make_unique<FindCommand>(); }

}  // namespace cxcli
