#include "Scratch.h"

#include "Output.h"

#include "ContentContainerDatabase.h"
#include "FXPath.h"
#include "SqlText.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace cxcli {

std::vector<std::string> WithSideFiles(const std::string& name)
{
    return {name, name + "-wal", name + "-shm", name + "-journal"};
}

void RemoveWithSideFiles(const std::string& path)
{
    for (const auto& file : WithSideFiles(path))
        unlink(file.c_str());
}

namespace {

constexpr char kScratchPrefix[] = "cx-scratch.";
constexpr size_t kScratchPrefixLength = sizeof kScratchPrefix - 1;
constexpr size_t kScratchNameLength = kScratchPrefixLength + 6;  // mkostemp's XXXXXX
// A container not written to for this long, and not locked, belongs to no
// run. The wait covers the moment between making a file and locking it.
constexpr time_t kAbandonedAfterSeconds = 60;

// Removes the scratch containers in `folder` that runs killed outright left
// behind: each run holds a lock on its own for as long as it lasts.
void RemoveAbandoned(const std::string& folder)
{
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr)
        return;
    const time_t now = time(nullptr);
    while (const dirent* entry = readdir(dir)) {
        if (std::strncmp(entry->d_name, kScratchPrefix, kScratchPrefixLength) != 0 ||
            std::strlen(entry->d_name) != kScratchNameLength)
            continue;
        const std::string path = folder + "/" + entry->d_name;
        // Only this user's files, and never a device or a pipe opened.
        struct stat status {};
        if (lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != geteuid() ||
            now - status.st_mtime < kAbandonedAfterSeconds)
            continue;
        const FX::UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!fd)
            continue;
        struct stat opened {};
        if (fstat(fd.Get(), &opened) == 0 && opened.st_ino == status.st_ino && opened.st_dev == status.st_dev &&
            flock(fd.Get(), LOCK_EX | LOCK_NB) == 0)
            RemoveWithSideFiles(path);
    }
    closedir(dir);
}

}  // namespace

ScratchContainer::~ScratchContainer()
{
    if (!path_.empty())
        RemoveWithSideFiles(path_);
}

bool ScratchContainer::Create()
{
    const char* tmpdir = std::getenv("TMPDIR");
    const std::string folder = tmpdir != nullptr && *tmpdir != 0 ? tmpdir : "/tmp";
    RemoveAbandoned(folder);
    std::string pattern = folder + "/" + kScratchPrefix + "XXXXXX";
    const int fd = mkostemp(&pattern[0], O_CLOEXEC);
    if (fd < 0) {
        Fail(pattern, std::string("cannot make a scratch file: ") + std::strerror(errno));
        return false;
    }
    // Held until the container is removed. A file system without such locks
    // leaves the container to be removed by hand should the run be killed.
    (void)flock(fd, LOCK_EX | LOCK_NB);
    lock_.Reset(fd);
    path_ = pattern;
    return true;
}

bool RebaseContainer(const std::string& container, const std::string& from, const std::string& to)
{
    CX::CContentContainerDatabase db(container, false);
    CKoError error = db.GetConstructionError();
    const std::string below = "substr(CAST(FolderName AS BLOB), 1, " + std::to_string(from.size()) + ") = " + CX::sql::Blob(from);
    // Through a prefix no path starts with, so that no name collides with
    // one not yet moved, wherever `to` lies relative to `from`.
    std::string sql = "BEGIN;"
                      "DELETE FROM Files WHERE FolderId IN (SELECT FolderId FROM Folders WHERE NOT (" + below + "));"
                      "DELETE FROM Folders WHERE NOT (" + below + ");"
                      "UPDATE Folders SET FolderName = CAST(X'01' AS TEXT) || FolderName;"
                      "UPDATE Folders SET FolderName = CAST(" + CX::sql::Blob(to) + " AS TEXT) || "
                      "CAST(substr(CAST(FolderName AS BLOB), " + std::to_string(from.size() + 2) + ") AS TEXT);";
    std::vector<std::string> ancestors;
    FXPath::SplitPaths(to, "", ancestors, 1);  // cannot fail
    for (const auto& ancestor : ancestors)
        sql += "INSERT OR IGNORE INTO Folders (FolderName, Metadata, RecordCreateTime, RecordUpdateTime) VALUES "
               "(CAST(" + CX::sql::Blob(ancestor) + " AS TEXT), 'Type=\"ancestor\"', 0, 0);";
    sql += "COMMIT;";
    if (!error.IsError())
        error = db.Execute(sql);
    if (!error.IsError())
        error = db.SetValue("Origin", to.size() > 1 ? to.substr(0, to.size() - 1) : to);
    if (error.IsError()) {
        db.Execute("ROLLBACK;");
        Fail(container, "cannot move its rows to " + EscapeLine(to) + ": " + Cause(error));
        return false;
    }
    return true;
}

}  // namespace cxcli
