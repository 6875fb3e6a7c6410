// cx index: a snapshot of a directory tree into a container.
//
// The tree is walked without following symbolic links. Each folder becomes a
// row named by its absolute path with a trailing "/"; each other entry a file
// row under its folder. Metadata is a list of attributes:
//   Type="file" Size="1234" MTime="2026-12-07T23:49:58.123456789Z" Mode="0644" Uid="0" Gid="0"
// plus Target="..." for links, Collect="true" for --collect matches and
// XXH128="..." with --checksum. The ancestors of the indexed folder are
// recorded too (Type="ancestor"), so that a snapshot reviews clean.
//
// Writes go in batches: folders directly, files through the queue, and a
// commit every few thousand rows, so an interrupted run leaves a valid
// container holding everything written so far, marked incomplete.
#include "Cli.h"

#include "ContentContainer.h"
#include "ContentContainerDatabase.h"
#include "FXPath.h"

#include <xxhash.h>

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

namespace cxcli {

namespace {

constexpr unsigned long long kRowsPerCommit = 20000;

const char* TypeOf(mode_t mode)
{
    if (S_ISREG(mode)) return "file";
    if (S_ISDIR(mode)) return "dir";
    if (S_ISLNK(mode)) return "link";
    if (S_ISFIFO(mode)) return "fifo";
    if (S_ISSOCK(mode)) return "socket";
    if (S_ISCHR(mode)) return "chardev";
    if (S_ISBLK(mode)) return "blockdev";
    return "other";
}

std::string FormatTime(const timespec& time)
{
    tm utc{};
    gmtime_r(&time.tv_sec, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%09ldZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<long>(time.tv_nsec));
    return text;
}

// A pattern with a "/" matches the whole path, one without it the name.
bool Matches(const std::vector<std::string>& patterns, const std::string& path, const std::string& name)
{
    for (const auto& pattern : patterns) {
        const bool whole = pattern.find('/') != std::string::npos;
        if (fnmatch(pattern.c_str(), whole ? path.c_str() : name.c_str(), 0) == 0)
            return true;
    }
    return false;
}

bool Digest(int directory, const std::string& name, std::string& hex)
{
    const int fd = openat(directory, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    XXH3_state_t* state = XXH3_createState();
    bool ok = state != nullptr && XXH3_128bits_reset(state) == XXH_OK;
    std::vector<char> buffer(1 << 20);
    while (ok) {
        const ssize_t got = read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        ok = XXH3_128bits_update(state, buffer.data(), static_cast<size_t>(got)) == XXH_OK;
    }
    if (ok) {
        const XXH128_hash_t hash = XXH3_128bits_digest(state);
        char text[40];
        std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(hash.high64),
                      static_cast<unsigned long long>(hash.low64));
        hex = text;
    }
    XXH3_freeState(state);
    close(fd);
    return ok;
}

struct PendingFolder {
    std::string path;  // absolute, ending with "/"
    std::string metadata;
};

class Indexer {
public:
    Indexer(const IndexOptions& options, CX::CContentContainerDatabase& db, CTimeStamp now,
            const std::string& containerPath)
        : options_(options), db_(db), now_(now), progress_("indexed"),
          ownFiles_{containerPath, containerPath + "-wal", containerPath + "-shm", containerPath + "-journal"}
    {
    }

    // Walks the tree; false when a write failed (already reported).
    bool Run(const std::string& root, const struct stat& rootStatus)
    {
        batch_ = std::make_unique<FX::CDatabaseTransaction>(&db_, 0);
        if (!RecordAncestors(root))
            return false;
        rootDevice_ = rootStatus.st_dev;
        std::vector<PendingFolder> stack;
        stack.push_back({root, Metadata(rootStatus, root, "", -1, "")});
        while (!stack.empty() && !g_interrupted.load()) {
            PendingFolder folder = std::move(stack.back());
            stack.pop_back();
            if (!IndexFolder(folder, stack))
                return false;
        }
        return Finish();
    }

    unsigned long long folders = 0;
    unsigned long long files = 0;
    unsigned long long warnings = 0;

private:
    bool Write(const CKoError& error, const std::string& what)
    {
        if (!error.IsError())
            return true;
        Fail(options_.container, "cannot write " + what + ": " + Cause(error));
        return false;
    }

    void Warn(const std::string& path, const char* what, int error)
    {
        ++warnings;
        std::fprintf(stderr, "%scx: warning: %s: %s: %s\n", isatty(STDERR_FILENO) ? "\r\033[K" : "",
                     EscapeLine(path).c_str(), what, std::strerror(error));
    }

    bool RecordAncestors(const std::string& root)
    {
        std::vector<std::string> ancestors;
        FXPath::SplitPaths(root, "", ancestors, 1);  // cannot fail
        for (const auto& ancestor : ancestors) {
            int64_t id = -1;
            if (!Write(db_.QueryOrInsertFolder(ancestor, "Type=\"ancestor\"", now_, id), ancestor))
                return false;
        }
        return true;
    }

    std::string Metadata(const struct stat& status, const std::string& path, const std::string& name, int directory,
                         const std::string& target)
    {
        char text[256];
        std::string metadata = "Type=\"" + std::string(TypeOf(status.st_mode)) + "\"";
        if (!S_ISDIR(status.st_mode)) {
            std::snprintf(text, sizeof text, " Size=\"%lld\"", static_cast<long long>(status.st_size));
            metadata += text;
        }
        std::snprintf(text, sizeof text, " MTime=\"%s\" Mode=\"%04o\" Uid=\"%u\" Gid=\"%u\"",
                      FormatTime(status.st_mtim).c_str(), static_cast<unsigned>(status.st_mode & 07777),
                      static_cast<unsigned>(status.st_uid), static_cast<unsigned>(status.st_gid));
        metadata += text;
        if (S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode)) {
            std::snprintf(text, sizeof text, " Rdev=\"%llu\"", static_cast<unsigned long long>(status.st_rdev));
            metadata += text;
        }
        if (S_ISLNK(status.st_mode))
            metadata += " Target=\"" + EscapeAttribute(target) + "\"";
        if (!S_ISDIR(status.st_mode) && Matches(options_.collects, path, name))
            metadata += " Collect=\"true\"";
        if (options_.checksum && S_ISREG(status.st_mode) && directory >= 0) {
            std::string hex;
            if (Digest(directory, name, hex))
                metadata += " XXH128=\"" + hex + "\"";
            else
                Warn(path, "cannot read for its checksum", errno);
        }
        return metadata;
    }

    bool IndexFolder(const PendingFolder& folder, std::vector<PendingFolder>& stack)
    {
        int64_t folderId = -1;
        if (options_.update) {
            if (!Write(db_.QueryOrInsertFolder(folder.path, folder.metadata, now_, folderId), folder.path) ||
                !Write(db_.UpdateFolderMetadata(folderId, folder.metadata), folder.path))
                return false;
        } else if (!Write(db_.InsertFolder(folder.path, folder.metadata, now_, folderId), folder.path)) {
            return false;
        }
        ++folders;
        if (!Counted(1))
            return false;

        const int directory = open(folder.path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        DIR* listing = directory >= 0 ? fdopendir(directory) : nullptr;
        if (listing == nullptr) {
            Warn(folder.path, "cannot read folder", errno);
            if (directory >= 0)
                close(directory);
            return true;
        }
        std::string target;
        for (errno = 0; dirent* entry = readdir(listing); errno = 0) {
            if (g_interrupted.load())
                break;
            const std::string name = entry->d_name;
            if (name == "." || name == "..")
                continue;
            const std::string path = folder.path + name;
            if (Matches(options_.excludes, path, name) || IsOwnFile(path))
                continue;
            struct stat status {};
            if (fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
                Warn(path, "vanished or unreadable", errno);
                continue;
            }
            if (S_ISDIR(status.st_mode)) {
                if (options_.oneFileSystem && status.st_dev != rootDevice_)
                    continue;
                stack.push_back({path + "/", Metadata(status, path, name, directory, "")});
                continue;
            }
            target.clear();
            if (S_ISLNK(status.st_mode)) {
                char buffer[PATH_MAX + 1];
                const ssize_t length = readlinkat(directory, name.c_str(), buffer, PATH_MAX);
                if (length >= 0)
                    target.assign(buffer, static_cast<size_t>(length));
            }
            if (!Write(db_.QueueInsertOrUpdateFile(folderId, name, Metadata(status, path, name, directory, target),
                                                   now_),
                       path))
                return false;
            ++files;
            if (!Counted(1))
                return false;
            progress_.Update(folders + files, folder.path);
        }
        if (errno != 0)
            Warn(folder.path, "cannot list folder", errno);
        closedir(listing);
        return true;
    }

    // The container being written, when it lies inside the tree, is no part
    // of the snapshot.
    bool IsOwnFile(const std::string& path) const
    {
        for (const auto& own : ownFiles_)
            if (path == own)
                return true;
        return false;
    }

    // Commits the running batch every so many rows, so that an interruption
    // or a crash loses at most one batch.
    bool Counted(unsigned long long rows)
    {
        sinceCommit_ += rows;
        if (sinceCommit_ < kRowsPerCommit)
            return true;
        sinceCommit_ = 0;
        if (!Write(db_.FlushQueue(), "queued files") || !Write(batch_->Commit(), "a batch"))
            return false;
        batch_ = std::make_unique<FX::CDatabaseTransaction>(&db_, 0);
        return true;
    }

    bool Finish()
    {
        if (!Write(db_.FlushQueue(), "queued files") || !Write(batch_->Commit(), "the last batch"))
            return false;
        batch_.reset();
        return true;
    }

    const IndexOptions& options_;
    CX::CContentContainerDatabase& db_;
    CTimeStamp now_;
    Progress progress_;
    dev_t rootDevice_ = 0;
    unsigned long long sinceCommit_ = 0;
    std::unique_ptr<FX::CDatabaseTransaction> batch_;
    const std::string ownFiles_[4];
};

}  // namespace

int RunIndex(const IndexOptions& options)
{
    char resolved[PATH_MAX];
    if (realpath(options.directory.c_str(), resolved) == nullptr)
        return Fail(options.directory, std::strerror(errno));
    std::string root = resolved;
    struct stat rootStatus {};
    if (stat(root.c_str(), &rootStatus) != 0)
        return Fail(root, std::strerror(errno));
    if (!S_ISDIR(rootStatus.st_mode))
        return Fail(root, "not a directory");
    FXPath::AppendTrailingDelimiter(root);

    // The container object makes (or opens) the file and records where the
    // snapshot comes from; the database object writes the rows.
    CX::CContentContainer container;
    CKoError error = container.SetName(options.container);
    if (!error.IsError())
        error = options.update ? container.OpenExistingOrCreate() : container.ReplaceOrCreate();
    if (!error.IsError())
        error = container.SetOrigin(resolved);
    if (!error.IsError())
        error = container.SetOriginQuery(options.commandLine);
    std::string containerPath;
    if (!error.IsError())
        error = container.GetName(containerPath);
    if (!error.IsError())
        error = container.Close();
    if (error.IsError())
        return Fail(options.container, Cause(error));

    const CTimeStamp now = CTimeStamp::Now();
    unsigned long long folders = 0;
    unsigned long long files = 0;
    unsigned long long warnings = 0;
    {
        CX::CContentContainerDatabase db(containerPath);
        if (db.GetConstructionError().IsError())
            return Fail(options.container, Cause(db.GetConstructionError()));
        if (db.SetValue("SnapshotState", "incomplete").IsError())
            return Fail(options.container, "cannot write");
        Indexer indexer(options, db, now, containerPath);
        const bool written = indexer.Run(root, rootStatus);
        folders = indexer.folders;
        files = indexer.files;
        warnings = indexer.warnings;
        if (!written)
            return kTrouble;
        if (!g_interrupted.load()) {
            error = db.SetValue("SnapshotState", "complete");
            if (error.IsError())
                return Fail(options.container, Cause(error));
        }
    }
    std::fprintf(stderr, "%s%s: %llu folders, %llu files, %llu warnings%s\n", g_interrupted.load() ? "\r\033[K" : "",
                 EscapeLine(containerPath).c_str(), folders, files, warnings,
                 g_interrupted.load() ? " (interrupted: snapshot incomplete)" : "");
    return g_interrupted.load() ? kInterrupted : kClean;
}

}  // namespace cxcli
