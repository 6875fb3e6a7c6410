// The digests an earlier snapshot of the tree took, for a walk that updates
// it: a file whose size, modification and status change times, inode and
// file system are all what the snapshot recorded has not been written to
// since (the kernel sets the status change time on every write, and user
// space cannot set it back), so its digest is taken over instead of read
// again. `cx check` never reuses one: it exists to read what metadata
// cannot show.
#pragma once

#include "ContentContainerDatabase.h"
#include "EntryStatus.h"
#include "IndexSettings.h"
#include "SQLite3Statement.h"

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
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

    // True, with `digest` set to the digest recorded for `name`, when it may
    // stand for the file now described by `status` on a file system whose
    // identity is `identity` (empty: none); else false, with `why` saying
    // what changed. `digest` stays valid until the next Folder.
    bool Reusable(const char* name, const EntryStatus& status, const std::string& identity, std::string_view& digest,
                  const char*& why);

private:
    // A stretch of `text_`.
    struct Span {
        uint32_t at = 0;
        uint32_t size = 0;
    };
    struct Row {
        Span name;
        Span size;
        Span mtime;
        Span ctime;
        Span inode;
        Span digest;
    };

    bool Open();
    std::string_view Text(Span span) const { return std::string_view(text_).substr(span.at, span.size); }
    bool Same(Span recorded, const std::string& now) const { return Text(recorded) == now; }

    const std::string container_;
    const std::string key_;  // the digest's attribute
    const FileSystemMap previous_;
    CContentContainerDatabasePtr db_;
    FX::CSQLite3StatementPtr files_;  // a folder's files by name
    bool failed_ = false;   // the snapshot cannot be read: every digest is taken
    std::string folder_;     // the folder loaded last
    std::string text_;       // the names and metadata of its files, one after the other
    std::vector<Row> rows_;  // of that folder, by name
    std::string field_;
    std::string now_;
};

}  // namespace CX::walk
