// The entries that only one of two snapshots has, kept until the comparison
// ends, and the pairs among them that are one file or folder seen at two
// paths: moved, or carried along inside a moved folder. Their paths and
// metadata wait in an unnamed temporary file: memory grows by a few dozen
// bytes per such entry, not with the tree.
#pragma once

#include "UniqueFd.h"

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace cxcli {

struct OneSidedEntry {
    static constexpr uint32_t kNone = UINT32_MAX;

    uint64_t offset = 0;  // of the path, followed by the metadata, in the file
    uint32_t pathLength = 0;
    uint32_t metadataLength = 0;
    uint64_t inodeKey = 0;  // a hash of the Inode attribute and the kind; 0 for none
    uint32_t partner = kNone;  // the entry of the other side it is paired with
    bool folder = false;
    bool deleted = false;     // only in the old snapshot; else only in the new one
    bool movedAlong = false;  // paired by its place inside a moved folder
};

class MoveFinder {
public:
    // False, with errno set, when the temporary file cannot be made or written.
    bool Add(bool deleted, bool folder, const std::string& path, const std::string& metadata, uint32_t& index);
    const OneSidedEntry& operator[](size_t index) const { return entries_[index]; }
    size_t Size() const { return entries_.size(); }
    bool Empty() const { return entries_.empty(); }
    // The path and metadata of an entry; false, with errno set, when they
    // cannot be read back.
    bool Read(size_t index, std::string& path, std::string& metadata) const;

    // Pairs a deleted entry with an added one when they are the same file or
    // folder: the one pair with that Inode (device and inode number), of the
    // same Type. Since a number a deleted file freed can be handed to a new
    // one, a file must also have the same digest where both record one, and
    // otherwise the same Size and MTime; a folder the same MTime, or an entry
    // that moved from directly below one to directly below the other.
    // Below a moved folder, a deleted entry is then paired with the added one
    // at its place below the folder's new path, whatever its inode, and such
    // pairs are marked movedAlong. Entries on file systems that each side
    // knows by an identity (device number to identity), and whose
    // identities differ, are never one. False, with errno set, on a read
    // error.
    typedef std::map<uint64_t, std::string> FileSystemMap;
    bool Resolve(const FileSystemMap& before, const FileSystemMap& after);

private:
    class Pairing;

    std::vector<OneSidedEntry> entries_;
    FX::UniqueFile store_;
    uint64_t size_ = 0;  // bytes written to the store
    bool flushed_ = false;
    std::vector<char> buffer_;
};

}  // namespace cxcli
