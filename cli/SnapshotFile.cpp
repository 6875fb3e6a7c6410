// How cx index replaces a snapshot without ever losing the one it had.
//
// The writers' lock is flock(2) on the container file itself; a new
// container first gets an empty placeholder to hold the lock on. Whoever
// takes the lock checks afterwards that the name still leads to the file it
// locked (a writer before it may have renamed a new file over it) and starts
// again if not. The new snapshot is written to ".NAME.tmpXXXXXX/NAME", in a
// folder of its own beside the container that only the run's user can
// enter, so that nobody can put a file where SQLite will make one beside it.
// Leftovers after a crash are removed by the next writer, which holds the
// lock and so knows that no run still uses them, once it has found that it
// may replace the container: a run refused touches nothing.
//
// SQLite's files beside the container (-wal, -shm, -journal) mean that a
// program has it open, or had it open when it died. They must belong to the
// container's owner. A run folds them into the file first and then checks
// that no other connection is left; just before the rename it checks again,
// so that a program that opened the container meanwhile never finds it
// replaced under it.
#include "SnapshotFile.h"

#include "ContentContainerDatabase.h"
#include "FullIo.h"
#include "Output.h"
#include "Progress.h"
#include "ResolveFolder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace cxcli {

std::vector<std::string> WithSideFiles(const std::string& name)
{
    std::vector<std::string> names = {name};
    for (const char* suffix : kSideSuffixes)
        names.push_back(name + suffix);
    return names;
}

void RemoveWithSideFiles(const std::string& path)
{
    for (const auto& file : WithSideFiles(path))
        unlink(file.c_str());
}

namespace {

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Copies the whole of `from` into `to` from their starts; the kernel may
// share the blocks instead of copying them.
bool CopyFile(int from, int to)
{
    loff_t in = 0;
    loff_t out = 0;
    for (;;) {
        const ssize_t copied = FX::RetryOnEintr([&] { return copy_file_range(from, &in, to, &out, 1 << 30, 0); });
        if (copied == 0)
            return true;
        if (copied > 0)
            continue;
        if (errno != EXDEV && errno != ENOSYS && errno != EOPNOTSUPP && errno != EINVAL)
            return false;
        break;  // not between these two files: copy by hand
    }
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const ssize_t got = FX::PreadFull(from, buffer.data(), buffer.size(), in);
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        if (!FX::PwriteFull(to, buffer.data(), static_cast<size_t>(got), out))
            return false;
        in += got;
        out += got;
    }
}

// Whether a file this process makes could be given `owner` and `group`, as
// chown(2) allows it: the process's own user and one of its groups, or any
// for the superuser (one without the right finds out when it tries).
bool CouldGive(uid_t owner, gid_t group)
{
    if (geteuid() == 0)
        return true;
    if (owner != geteuid())
        return false;
    if (group == getegid())
        return true;
    std::vector<gid_t> groups(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)));
    const int count = getgroups(static_cast<int>(groups.size()), groups.data());
    return count > 0 && std::find(groups.begin(), groups.begin() + count, group) != groups.begin() + count;
}

}  // namespace

SnapshotFile::~SnapshotFile()
{
    if (!published_)
        RemoveTemporary();
    if (createdPlaceholder_ && !published_ && lock_) {
        // Only the empty file this run made, and only while it is still there.
        struct stat locked {};
        struct stat named {};
        if (fstat(lock_.Get(), &locked) == 0 && locked.st_size == 0 && lstat(target_.c_str(), &named) == 0 &&
            SameFile(locked, named))
            unlink(target_.c_str());
    }
}

bool SnapshotFile::Acquire(const std::string& path, const Options& options)
{
    options_ = options;
    update_ = options.update;
    return Resolve(path) && Lock() && ReservePrivateFolder();
}

bool SnapshotFile::Resolve(const std::string& path)
{
    if (path.empty()) {
        Fail("\"\"", "no container file named");
        return false;
    }
    if (path.back() == '/') {
        Fail(path, "names a folder, not a container file");
        return false;
    }
    // A link in the container's place is followed, as opening it would.
    struct stat status {};
    std::string named = path;
    if (lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
        char resolved[PATH_MAX];
        if (realpath(path.c_str(), resolved) == nullptr) {
            Fail(path, errno == ENOENT ? "a symbolic link to nothing" : std::strerror(errno));
            return false;
        }
        named = resolved;
    }
    const size_t slash = named.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : named.substr(0, slash);
    name_ = slash == std::string::npos ? named : named.substr(slash + 1);
    if (name_ == "." || name_ == "..") {
        Fail(path, "names a folder, not a container file");
        return false;
    }
    // The folder as the kernel reaches it: "lnk/.." is the parent of where
    // lnk leads, not the folder that holds lnk.
    struct stat folderStatus {};
    const int failure = FX::ResolveFolder(folder, folder_, folderStatus);
    if (failure == ENOENT) {
        Fail(path, "no such folder: " + EscapeLine(folder));
        return false;
    }
    if (failure == ENOTDIR) {
        Fail(path, "not in a folder: " + EscapeLine(folder));
        return false;
    }
    if (failure != 0) {
        Fail(path, std::strerror(failure));
        return false;
    }
    folderDevice_ = folderStatus.st_dev;
    folderInode_ = folderStatus.st_ino;
    target_ = (folder_ == "/" ? "" : folder_) + "/" + name_;
    if (lstat(target_.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
        Fail(target_, S_ISDIR(status.st_mode) ? "is a folder, not a container file"
                                              : "not a content container (not a regular file)");
        return false;
    }
    return true;
}

bool SnapshotFile::Lock()
{
    bool toldWaiting = false;
    for (;;) {
        createdPlaceholder_ = false;
        FX::UniqueFd fd(open(target_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
        if (!fd && errno == ENOENT) {
            fd.Reset(open(target_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            if (!fd && errno == EEXIST)
                continue;  // another writer made it first
            createdPlaceholder_ = fd.Valid();
        }
        if (!fd) {
            Fail(target_, std::strerror(errno));
            return false;
        }
        struct stat locked {};
        if (fstat(fd.Get(), &locked) != 0 || !S_ISREG(locked.st_mode)) {
            Fail(target_, "not a content container (not a regular file)");
            return false;
        }
        while (FX::RetryOnEintr([&] { return flock(fd.Get(), LOCK_EX | LOCK_NB); }) != 0) {
            if (errno != EWOULDBLOCK || !options_.wait || g_interrupted.load()) {
                Fail(target_, g_interrupted.load() ? "interrupted"
                              : errno == EWOULDBLOCK ? "locked by another writer (--wait waits for it)"
                                                     : std::strerror(errno));
                return false;
            }
            if (!toldWaiting)
                std::fprintf(stderr, "cx: %s: waiting for another writer\n", EscapeLine(target_).c_str());
            toldWaiting = true;
            usleep(100 * 1000);
        }
        struct stat named {};
        if (lstat(target_.c_str(), &named) == 0 && SameFile(named, locked)) {
            lock_ = std::move(fd);
            return true;
        }
        // The writer before us put a new file in its place: lock that one.
    }
}

bool SnapshotFile::CheckCurrent()
{
    struct stat current {};
    if (fstat(lock_.Get(), &current) != 0) {
        Fail(target_, std::strerror(errno));
        return false;
    }
    mode_ = createdPlaceholder_ ? 0600 : current.st_mode & 07777;
    owner_ = current.st_uid;
    group_ = current.st_gid;
    bool sideFiles = false;
    for (const char* suffix : kSideSuffixes) {
        const std::string side = target_ + suffix;
        struct stat status {};
        if (lstat(side.c_str(), &status) != 0)
            continue;
        if (!S_ISREG(status.st_mode) || status.st_uid != current.st_uid) {
            Fail(side, "not owned by the container's owner; not touching the container");
            return false;
        }
        sideFiles = true;
    }
    if (current.st_size == 0) {
        if (sideFiles) {
            Fail(target_, "an empty file with SQLite's files beside it; remove them first");
            return false;
        }
        return true;  // a new container, or an empty file to fill
    }
    {
        CX::CContentContainerDatabase db(target_, true);
        const CKoError& error = db.GetConstructionError();
        if (error.IsError()) {
            if (options_.force && !options_.update)
                return true;
            Fail(target_, Cause(error) + (options_.update ? "" : "; --force replaces it"));
            return false;
        }
        std::string state;
        db.GetValue("SnapshotState", state);  // a host's container has none: finished
        finished_ = state != "incomplete";
        currentHasRows_ = true;
        if (options_.readCurrent && !options_.readCurrent(db))
            return false;
    }
    if (!sideFiles)
        return true;
    // A program has it open or died with it open: fold its log into the file
    // (what it committed stays) and make sure nobody else is left.
    {
        CX::CContentContainerDatabase db(target_, false);
        CKoError error = db.GetConstructionError();
        if (!error.IsError())
            error = db.Execute("PRAGMA busy_timeout=0; BEGIN IMMEDIATE; ROLLBACK; PRAGMA wal_checkpoint(TRUNCATE);");
        if (error.IsError()) {
            Fail(target_, FXErrorUtil::IsSQLite(error, 5) ? "locked by another writer" : Cause(error));
            return false;
        }
    }
    return NoOtherUser("open in another program; close it first");
}

bool SnapshotFile::NoOtherUser(const char* cause) const
{
    for (const char* suffix : kSideSuffixes) {
        struct stat status {};
        if (lstat((target_ + suffix).c_str(), &status) == 0) {
            Fail(target_, cause);
            return false;
        }
    }
    return true;
}

bool SnapshotFile::Prepare()
{
    // Refused before anything beside the container is touched, where that
    // can be told beforehand.
    if (!options_.force && !CouldGive(owner_, group_))
        return RefuseOwner();
    // What could not be removed (a folder that holds more than a run puts
    // there, a file that may not be removed) is no leftover to leave out:
    // the walk is told the names again, without those.
    if (!RemoveStaleTemporaries()) {
        stale_.clear();
        ownNamesChanged_ = true;
    }
    if (!MakePrivateFolder())
        return false;
    const FX::UniqueFd fd(open(temporary_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) {
        Fail(temporary_, std::strerror(errno));
        return false;
    }
    // The new snapshot is seen by whoever could see the old one, no more:
    // one that could not keep its owner and group would pass to this user.
    if ((owner_ != geteuid() || group_ != getegid()) && fchown(fd.Get(), owner_, group_) != 0 && !options_.force)
        return RefuseOwner();
    if (fchmod(fd.Get(), mode_) != 0) {
        Fail(temporary_, std::strerror(errno));
        return false;
    }
    if (update_ && currentHasRows_) {
        if (!CopyFile(lock_.Get(), fd.Get())) {
            Fail(target_, std::string("cannot copy the current snapshot: ") + std::strerror(errno));
            return false;
        }
        copied_ = true;
    }
    return true;
}

bool SnapshotFile::RefuseOwner() const
{
    Fail(target_, "owned by " + std::to_string(owner_) + ":" + std::to_string(group_) +
                      ", which a new snapshot made by this user could not keep (--force replaces it anyway)");
    return false;
}

bool SnapshotFile::Publish()
{
    for (const char* suffix : kSideSuffixes) {
        struct stat status {};
        if (lstat((temporary_ + suffix).c_str(), &status) == 0) {
            Fail(target_, "the new snapshot could not be finished (its write-ahead log is left); the previous one "
                          "is kept");
            return false;
        }
    }
    if (!NoOtherUser("opened by another program while the snapshot was made; the previous one is kept"))
        return false;
    struct stat locked {};
    struct stat named {};
    if (fstat(lock_.Get(), &locked) == 0 && lstat(target_.c_str(), &named) == 0 && !SameFile(locked, named)) {
        Fail(target_, "replaced by another program meanwhile; the new snapshot was not written");
        return false;
    }
    {
        const FX::UniqueFd fd(open(temporary_.c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd || fsync(fd.Get()) != 0) {
            Fail(target_, std::string("cannot write the new snapshot to disk: ") + std::strerror(errno));
            return false;
        }
    }
    if (rename(temporary_.c_str(), target_.c_str()) != 0) {
        Fail(target_, std::string("cannot put the new snapshot in place: ") + std::strerror(errno));
        return false;
    }
    published_ = true;
    createdPlaceholder_ = false;
    KeepOnSecondSignal(temporaryHandle_);
    rmdir(private_.c_str());
    KeepOnSecondSignal(privateHandle_);
    const FX::UniqueFd folder(open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder || (fsync(folder.Get()) != 0 && errno != EINVAL)) {
        Fail(folder_, std::string("cannot write the folder to disk: ") + std::strerror(errno));
        return false;
    }
    return true;
}

}  // namespace cxcli
