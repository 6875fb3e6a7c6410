// cx find, ls, info and dups.
#include "Cli.h"

#include "ContentContainer.h"
#include "ContentContainerDatabase.h"
#include "FXPath.h"
#include "UniqueNameCheck.h"

#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>

namespace cxcli {

namespace {
// A read-only database on a checked container, or null after a reported failure.
std::unique_ptr<CX::CContentContainerDatabase> OpenForReading(const std::string& container)
{
    if (!CheckContainer(container))
        return nullptr;
    auto db = std::make_unique<CX::CContentContainerDatabase>(container, true);
    if (db->GetConstructionError().IsError()) {
        Fail(container, Cause(db->GetConstructionError()));
        return nullptr;
    }
    return db;
}
}  // namespace

bool AbsolutePath(const std::string& argument, std::string& path, bool& folderOnly)
{
    if (argument.empty()) {
        std::fprintf(stderr, "cx: the path is empty\n");
        return false;
    }
    std::string full;
    if (argument.front() != '/') {
        std::vector<char> buffer(4096);
        while (getcwd(buffer.data(), buffer.size()) == nullptr) {
            if (errno != ERANGE) {
                Fail(".", std::strerror(errno));
                return false;
            }
            buffer.resize(buffer.size() * 2);
        }
        full = buffer.data();
        full += '/';
    }
    full += argument;
    std::vector<std::string> parts;
    std::string last;
    for (size_t start = 0; start <= full.size();) {
        size_t slash = full.find('/', start);
        if (slash == std::string::npos)
            slash = full.size();
        last = full.substr(start, slash - start);
        if (last == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!last.empty() && last != ".") {
            parts.push_back(last);
        }
        start = slash + 1;
    }
    folderOnly = parts.empty() || last.empty() || last == "." || last == "..";
    path.clear();
    for (const auto& part : parts)
        path += "/" + part;
    if (path.empty())
        path = "/";
    return true;
}

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

int RunInfo(const std::string& container)
{
    auto db = OpenForReading(container);
    if (!db)
        return kTrouble;
    std::string origin;
    std::string originQuery;
    std::string state;
    std::string problems;
    db->GetValue("Origin", origin);            // absent values print empty
    db->GetValue("OriginQuery", originQuery);
    db->GetValue("SnapshotState", state);
    db->GetValue("SnapshotProblems", problems);
    std::string excludes;
    db->GetValue("ExcludeRules", excludes);
    // The folders above the origin that cx index records are counted apart,
    // so that "folders" matches the index summary.
    int64_t folders = 0;
    int64_t ancestors = 0;
    int64_t files = 0;
    CKoError error = db->QueryScalar("SELECT COUNT(*) FROM Folders;", folders, 0);
    if (!error.IsError())
        error = db->QueryScalar("SELECT COUNT(*) FROM Folders WHERE Metadata = 'Type=\"ancestor\"';", ancestors, 0);
    if (!error.IsError())
        error = db->QueryScalar("SELECT COUNT(*) FROM Files;", files, 0);
    if (error.IsError())
        return Fail(container, Cause(error));
    Print(stdout, "container\t%s\norigin\t%s\norigin query\t%s\nstate\t%s\n",
          EscapeLine(db->GetFullDatabaseName()).c_str(), EscapeLine(origin).c_str(),
          EscapeLine(originQuery).c_str(), state.empty() ? "unknown" : EscapeLine(state).c_str());
    if (!problems.empty())  // folders and files a partial snapshot could not read
        Print(stdout, "problems\t%s\n", EscapeLine(problems).c_str());
    for (size_t start = 0; start < excludes.size();) {  // one rule per line
        size_t end = excludes.find('\n', start);
        if (end == std::string::npos)
            end = excludes.size();
        Print(stdout, "exclude\t%s\n", EscapeLine(excludes.substr(start, end - start)).c_str());
        start = end + 1;
    }
    Print(stdout, "folders\t%lld\nancestors\t%lld\nfiles\t%lld\n", static_cast<long long>(folders - ancestors),
          static_cast<long long>(ancestors), static_cast<long long>(files));
    return kClean;
}

int RunDups(bool ignoreCase, unsigned threads)
{
    if (threads == 0)
        threads = 1;
    CX::CUniqueNameCheck first(!ignoreCase);
    // Lines go to the workers in chunks; each worker checks through its own clone.
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<std::vector<std::string>> chunks;
    bool done = false;
    bool failed = false;
    unsigned long long duplicates = 0;
    auto work = [&](CX::CUniqueNameCheck& checker) {
        for (;;) {
            std::vector<std::string> chunk;
            {
                std::unique_lock<std::mutex> lock(mutex);
                ready.wait(lock, [&] { return done || !chunks.empty(); });
                if (chunks.empty())
                    return;
                chunk = std::move(chunks.front());
                chunks.pop_front();
            }
            ready.notify_all();
            for (const auto& name : chunk) {
                bool exists = false;
                const CKoError error = checker.CheckName(name, exists);
                std::lock_guard<std::mutex> lock(mutex);
                if (error.IsError()) {
                    if (!failed)
                        Fail("names", Cause(error));
                    failed = true;
                } else if (exists) {
                    ++duplicates;
                    Print(stdout, "%s\n", EscapeLine(name).c_str());
                }
            }
        }
    };
    std::vector<CX::CUniqueNameCheckPtr> clones;
    std::vector<std::thread> workers;
    for (unsigned t = 1; t < threads; ++t) {
        clones.push_back(first.GetClone());
        workers.emplace_back(work, std::ref(*clones.back()));
    }
    std::thread own(work, std::ref(first));
    std::vector<std::string> chunk;
    std::string line;
    while (std::getline(std::cin, line) && !g_interrupted.load()) {
        chunk.push_back(std::move(line));
        if (chunk.size() == 4096) {
            std::unique_lock<std::mutex> lock(mutex);
            ready.wait(lock, [&] { return chunks.size() < 4 * threads; });
            chunks.push_back(std::move(chunk));
            chunk.clear();
            ready.notify_all();
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!chunk.empty())
            chunks.push_back(std::move(chunk));
        done = true;
    }
    ready.notify_all();
    own.join();
    for (auto& worker : workers)
        worker.join();
    if (failed)
        return kTrouble;
    if (g_interrupted.load())
        return kInterrupted;
    return duplicates == 0 ? kClean : kReported;
}

}  // namespace cxcli
