// What tells one state of a file from another: a writer that changes it in
// place changes its size, its times, or both, and a file put in its place
// has another inode.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>

namespace cxcli {

struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    int64_t mtimeNs = 0;  // since 1970, in nanoseconds
    int64_t ctimeNs = 0;

    static FileIdentity Of(const struct stat& status);
    bool operator==(const FileIdentity& other) const;
    bool operator!=(const FileIdentity& other) const { return !(*this == other); }
};

// The identity of the file `path` leads to (none: size -1, when it cannot be
// had). The kernel's times move in ticks, so with `settle` a file changed
// within the last few ticks is given the time to pass them first: a change in
// the same tick would otherwise go unseen.
FileIdentity Identify(const std::string& path, bool settle);

// Whether SQLite's files lie beside `path` ("-wal", "-shm", "-journal"): a
// writer is at work, or was when it died.
bool HasSideFiles(const std::string& path);

}  // namespace cxcli
