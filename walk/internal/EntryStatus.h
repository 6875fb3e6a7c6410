// What the kernel says of an entry, as a walk records it: statx(2), which
// also gives the file flags (immutable, append-only, ...) without an open.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>

namespace CX::walk {

struct EntryStatus {
    mode_t mode = 0;
    uint64_t size = 0;
    timespec mtime{};
    timespec ctime{};  // status change: set by the kernel alone
    uint32_t uid = 0;
    uint32_t gid = 0;
    uint64_t nlink = 0;
    dev_t device = 0;  // of the file system that holds it
    ino_t inode = 0;
    dev_t rdev = 0;  // what a device file stands for
    // STATX_ATTR_* bits the file system reports (the mask: those it knows).
    uint64_t attributes = 0;
    uint64_t attributesMask = 0;

    bool IsFolder() const { return S_ISDIR(mode); }
    bool IsRegular() const { return S_ISREG(mode); }
    bool IsLink() const { return S_ISLNK(mode); }
};

// The status of `name` in the open folder `directory` (or of the path
// `name` with AT_FDCWD), never following a final symbolic link. False, with
// errno, when it cannot be had.
bool StatAt(int directory, const char* name, EntryStatus& status);

// The same for an open file.
bool StatOpen(int fd, EntryStatus& status);

}  // namespace CX::walk
