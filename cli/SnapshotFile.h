// The container file that cx index writes, kept safe while a new snapshot is
// made: one writer at a time, the new snapshot built in a private folder
// beside it and renamed over it only once it is finished and on disk.
#pragma once

#include "UniqueFd.h"

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace CX {
class CContentContainerDatabase;
}

namespace cxcli {

// SQLite's files beside a container.
inline constexpr const char* kSideSuffixes[] = {"-wal", "-shm", "-journal"};

// A container file's name (or path) and those of SQLite's files beside it
// ("-wal", "-shm", "-journal"), the container's first.
std::vector<std::string> WithSideFiles(const std::string& name);
// Removes a container file and SQLite's files beside it, those there are.
void RemoveWithSideFiles(const std::string& path);

class SnapshotFile {
public:
    struct Options {
        bool update = false;  // start from a copy of the current snapshot
        bool force = false;   // replace a file that is not a container, or that a new snapshot could not keep
                              // the owner and group of
        bool wait = false;    // wait for another writer instead of failing
        // Reads what the caller needs of a current snapshot while the check
        // has it open; false after a reported failure.
        std::function<bool(CX::CContentContainerDatabase&)> readCurrent;
    };

    SnapshotFile() = default;
    // Removes the temporary file unless it was published, and the empty
    // placeholder this run made for a new container; releases the lock.
    ~SnapshotFile();
    SnapshotFile(const SnapshotFile&) = delete;
    SnapshotFile& operator=(const SnapshotFile&) = delete;

    // Resolves `path` as the kernel does, takes the writers' lock and names
    // the private folder the new snapshot is to be made in (OwnNames), which
    // Prepare makes. Prints the cause and answers false when it cannot.
    bool Acquire(const std::string& path, const Options& options);
    // Checks that the file may be replaced, reading what the caller needs of
    // the current snapshot. Prints the cause and answers false when it may
    // not.
    bool CheckCurrent();

    // Whether the current file holds a snapshot (a container with rows).
    bool HoldsSnapshot() const { return currentHasRows_; }
    // Whether the current file holds a finished snapshot, which an
    // interrupted run must not replace.
    bool HoldsFinishedSnapshot() const { return finished_; }
    // The new snapshot starts empty even with `update`.
    void StartAfresh() { update_ = false; }

    // Removes what runs that died left, makes the private folder and the
    // temporary file in it (a copy of the current snapshot with `update`),
    // with the current file's mode and owner (0600 for a new one).
    bool Prepare();
    // Whether OwnNames changed in Prepare: the private folder's name was
    // taken meanwhile, or what runs that died left could not all be removed.
    bool OwnNamesChanged() const { return ownNamesChanged_; }

    // Whether the temporary file starts from the current snapshot's rows.
    bool CopiedCurrent() const { return copied_; }

    // Flushes the finished temporary file to disk and renames it over the
    // current one. Prints the cause and answers false when it cannot.
    bool Publish();

    const std::string& Target() const { return target_; }
    const std::string& Temporary() const { return temporary_; }
    // The folder holding both files, and the names in it that are this
    // run's own (the two files, SQLite's files beside them, the container's
    // seal, and what runs that died left).
    dev_t FolderDevice() const { return folderDevice_; }
    ino_t FolderInode() const { return folderInode_; }
    std::vector<std::string> OwnNames() const;

private:
    bool Resolve(const std::string& path);
    bool Lock();
    std::vector<std::string> StaleTemporaries() const;
    std::string Beside(const std::string& name) const;
    bool ReservePrivateFolder();
    bool PickPrivateName();
    bool MakePrivateFolder();
    bool RefuseOwner() const;
    bool NoOtherUser(const char* when) const;
    bool RemoveStaleTemporaries() const;  // false: one of them stays
    void RemoveTemporary();

    Options options_;
    std::string folder_;  // resolved, without a trailing "/"
    std::string name_;
    std::string target_;
    std::string private_;    // the folder the new snapshot is made in
    std::string temporary_;  // the new snapshot, in it
    std::vector<std::string> stale_;  // what runs that died left beside the container
    bool madePrivate_ = false;
    bool ownNamesChanged_ = false;
    int privateHandle_ = -1;  // both removed by a second Ctrl-C
    int temporaryHandle_ = -1;
    dev_t folderDevice_ = 0;
    ino_t folderInode_ = 0;
    FX::UniqueFd lock_;  // the current file, locked while the run lasts
    bool createdPlaceholder_ = false;
    bool finished_ = false;
    bool copied_ = false;
    bool update_ = false;
    bool published_ = false;
    mode_t mode_ = 0600;
    uid_t owner_ = static_cast<uid_t>(-1);
    gid_t group_ = static_cast<gid_t>(-1);
    bool currentHasRows_ = false;
};

}  // namespace cxcli
