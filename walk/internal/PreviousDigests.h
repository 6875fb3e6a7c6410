// The digests an earlier snapshot of the tree took, for a walk that updates
// it: a file whose size, modification and status change times, inode and
// file system are all what the snapshot recorded has not been written to
// since (the kernel sets the status change time on every write, and user
// space cannot set it back), so its digest is taken over instead of read
// again. `cx check` never reuses one: it exists to read what metadata
// cannot show.
#pragma once

#include "AttributeSet.h"
#include "ContentContainerDatabase.h"
#include "EntryStatus.h"
#include "IndexSettings.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace CX::walk {

class PreviousDigests {
public:
    typedef std::map<uint64_t, std::string> FileSystemMap;

    // `container`: the snapshot being updated, read on the calling thread
    // only; `previous`: the identities of its file systems then.
    PreviousDigests(std::string container, EChecksum algorithm, FileSystemMap previous);

    // Loads what the snapshot recorded of the files of the folder `path`
    // (absolute, ending with "/"), unless it is the folder loaded last: a
    // folder it lacks has none.
    void Folder(const std::string& path);

    // The digest recorded for `name` when it may stand for the file now
    // described by `status` on a file system whose identity is `identity`
    // (empty: none); else null, with `why` saying what changed.
    const std::string* Reusable(const char* name, const EntryStatus& status, const std::string& identity,
                                const char*& why);

private:
    struct Row {
        std::string name;
        std::string size;
        std::string mtime;
        std::string ctime;
        std::string inode;
        std::string digest;
    };

    const std::string container_;
    const std::string key_;  // the digest's attribute
    const FileSystemMap previous_;
    CContentContainerDatabasePtr db_;
    bool failed_ = false;   // the snapshot cannot be read: every digest is taken
    std::string folder_;     // the folder loaded last
    std::vector<Row> rows_;  // of that folder, by name
    std::vector<SAttribute> attributes_;
    std::string text_;
};

}  // namespace CX::walk
