#include "DiffMoves.h"

#include "AttributeSet.h"
#include "DiffAttributes.h"
#include "FullIo.h"
#include "IndexSettings.h"
#include "Output.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <unordered_map>
#include <unordered_set>

namespace cxcli {

namespace {

// What tells one file from another, from its metadata.
struct Identity {
    std::string inode;  // empty: unknown, never matched
    std::string type;
    std::string size;
    std::string mtime;
    std::string digest;  // "SHA256=<hex>": the algorithm with the value
};

Identity IdentityOf(const std::string& metadata, std::vector<CX::SAttribute>& scratch)
{
    Identity identity;
    if (!CX::CAttributeSet::Parse(metadata, scratch))
        return identity;
    const auto take = [&scratch](const char* key, std::string& into) {
        if (const std::string* value = FindAttribute(scratch, key))
            into = *value;
    };
    take("Inode", identity.inode);
    take("Type", identity.type);
    take("Size", identity.size);
    take("MTime", identity.mtime);
    for (const auto& attribute : scratch)
        if (CX::IsChecksumAttribute(attribute.key)) {
            identity.digest = attribute.key + '=' + attribute.value;
            break;
        }
    return identity;
}

// The parent folder of a path as containers store it ("/a/b/" for "/a/b/c"
// and for "/a/b/c/"), or empty for the root.
std::string Parent(const std::string& path)
{
    const size_t end = !path.empty() && path.back() == '/' ? path.size() - 1 : path.size();
    const size_t slash = end == 0 ? std::string::npos : path.rfind('/', end - 1);
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

uint64_t HashOf(const std::string& text)
{
    return static_cast<uint64_t>(std::hash<std::string>{}(text));
}

}  // namespace

bool MoveFinder::Add(bool deleted, bool folder, const std::string& path, const std::string& metadata,
                     uint32_t& index)
{
    if (!store_) {
        store_ = TemporaryFile();
        if (!store_)
            return false;
    }
    OneSidedEntry entry;
    entry.offset = size_;
    entry.pathLength = static_cast<uint32_t>(path.size());
    entry.metadataLength = static_cast<uint32_t>(metadata.size());
    entry.folder = folder;
    entry.deleted = deleted;
    // The Inode value is found without parsing the whole text; a pair is
    // checked in full before it is made.
    const size_t at = metadata.find(" Inode=\"");
    if (at != std::string::npos) {
        const size_t end = metadata.find('"', at + 8);
        if (end != std::string::npos)
            entry.inodeKey = HashOf(metadata.substr(at + 8, end - at - 8)) * 2 + (folder ? 1 : 0) + 2;
    }
    if (std::fwrite(path.data(), 1, path.size(), store_.get()) != path.size() ||
        std::fwrite(metadata.data(), 1, metadata.size(), store_.get()) != metadata.size())
        return false;
    size_ += path.size() + metadata.size();
    flushed_ = false;
    index = static_cast<uint32_t>(entries_.size());
    entries_.push_back(entry);
    return true;
}

bool MoveFinder::Read(size_t index, std::string& path, std::string& metadata) const
{
    const OneSidedEntry& entry = entries_[index];
    if (!flushed_) {
        if (std::fflush(store_.get()) != 0)
            return false;
        const_cast<MoveFinder*>(this)->flushed_ = true;
    }
    const size_t length = size_t{entry.pathLength} + entry.metadataLength;
    std::vector<char>& buffer = const_cast<MoveFinder*>(this)->buffer_;
    buffer.resize(length);
    const ssize_t got = FX::PreadFull(fileno(store_.get()), buffer.data(), length, static_cast<off_t>(entry.offset));
    if (got < 0)
        return false;
    if (static_cast<size_t>(got) != length) {
        errno = EIO;  // the file is shorter than what was written to it
        return false;
    }
    path.assign(buffer.data(), entry.pathLength);
    metadata.assign(buffer.data() + entry.pathLength, entry.metadataLength);
    return true;
}

namespace {

// How many deleted and added entries share an Inode value, and the last
// added one.
struct InodeSeen {
    uint32_t deleted = 0;
    uint32_t added = 0;
    uint32_t lastAdded = OneSidedEntry::kNone;
};

}  // namespace

// One run of Resolve: the pairs are made in three passes over the entries,
// files by inode, folders by inode, and what moved along with a folder.
class MoveFinder::Pairing {
public:
    Pairing(MoveFinder& finder, const FileSystemMap& before, const FileSystemMap& after)
        : finder_(finder), entries_(finder.entries_), before_(before), after_(after)
    {
    }

    bool Run()
    {
        // Inodes are matched only where one entry on each side has it: hard
        // links moved apart are left as they were reported.
        for (uint32_t i = 0; i < entries_.size(); ++i) {
            const OneSidedEntry& entry = entries_[i];
            if (entry.inodeKey == 0)
                continue;
            InodeSeen& seen = byInode_[entry.inodeKey];
            if (entry.deleted) {
                ++seen.deleted;
            } else {
                ++seen.added;
                seen.lastAdded = i;
            }
        }
        return PairFiles() && PairFolders() && (movedFolders_.empty() || PairMovedAlong());
    }

private:
    void Pair(uint32_t deleted, uint32_t added)
    {
        entries_[deleted].partner = added;
        entries_[added].partner = deleted;
    }

    // The added entry that is the same file or folder as deleted entry `i`,
    // or kNone; reads both into path_/metadata_ and otherPath_/otherMetadata_.
    uint32_t SameFile(uint32_t i)
    {
        if (entries_[i].inodeKey == 0)
            return OneSidedEntry::kNone;
        const InodeSeen& seen = byInode_.find(entries_[i].inodeKey)->second;
        if (seen.deleted != 1 || seen.added != 1 || entries_[seen.lastAdded].partner != OneSidedEntry::kNone)
            return OneSidedEntry::kNone;
        if (!finder_.Read(i, path_, metadata_) || !finder_.Read(seen.lastAdded, otherPath_, otherMetadata_)) {
            failed_ = true;
            return OneSidedEntry::kNone;
        }
        const Identity before = IdentityOf(metadata_, scratch_);
        const Identity after = IdentityOf(otherMetadata_, scratch_);
        if (before.inode.empty() || before.inode != after.inode || before.type != after.type ||
            !SameFileSystem(before.inode))
            return OneSidedEntry::kNone;
        if (entries_[i].folder)
            return seen.lastAdded;  // its time is judged by the caller
        // Digests of one algorithm decide; of two, they cannot.
        const auto algorithm = [](const std::string& digest) { return digest.substr(0, digest.find('=')); };
        if (!before.digest.empty() && !after.digest.empty() && algorithm(before.digest) == algorithm(after.digest))
            return before.digest == after.digest ? seen.lastAdded : OneSidedEntry::kNone;
        return before.mtime == after.mtime && before.size == after.size ? seen.lastAdded : OneSidedEntry::kNone;
    }

    // Files first. A folder's time changes with what is in it, so a folder
    // counts as moved when its time is unchanged, or when an entry moved from
    // directly below its old path to directly below its new one.
    bool PairFiles()
    {
        for (uint32_t i = 0; i < entries_.size() && !failed_; ++i) {
            if (!entries_[i].deleted || entries_[i].folder)
                continue;
            const uint32_t added = SameFile(i);
            if (added == OneSidedEntry::kNone)
                continue;
            Pair(i, added);
            movedBetween_.insert(Parent(path_) + '\0' + Parent(otherPath_));
        }
        return !failed_;
    }

    // Deepest folders first (tree order reversed), so that a folder moved
    // along vouches for the folder it is in.
    bool PairFolders()
    {
        for (uint32_t i = static_cast<uint32_t>(entries_.size()); i-- > 0 && !failed_;) {
            if (!entries_[i].deleted || !entries_[i].folder)
                continue;
            const uint32_t added = SameFile(i);
            if (added == OneSidedEntry::kNone)
                continue;
            const Identity before = IdentityOf(metadata_, scratch_);
            const Identity after = IdentityOf(otherMetadata_, scratch_);
            if (before.mtime != after.mtime && movedBetween_.count(path_ + '\0' + otherPath_) == 0)
                continue;
            Pair(i, added);
            movedFolders_.emplace(path_, otherPath_);
            movedBetween_.insert(Parent(path_) + '\0' + Parent(otherPath_));
        }
        return !failed_;
    }

    // Below a moved folder, an entry at the same place under both paths was
    // carried along: compared as one entry, not reported as moved.
    bool PairMovedAlong()
    {
        std::unordered_multimap<uint64_t, uint32_t> addedByPath;
        for (uint32_t i = 0; i < entries_.size(); ++i) {
            if (entries_[i].deleted)
                continue;
            if (!finder_.Read(i, path_, metadata_))
                return false;
            addedByPath.emplace(HashOf(path_), i);
        }
        for (uint32_t i = 0; i < entries_.size(); ++i) {
            OneSidedEntry& entry = entries_[i];
            if (!entry.deleted)
                continue;
            if (!finder_.Read(i, path_, metadata_))
                return false;
            const std::string placed = PlaceBelowMovedFolder(path_);
            if (placed.empty())
                continue;
            if (entry.partner != OneSidedEntry::kNone) {
                if (!finder_.Read(entry.partner, otherPath_, otherMetadata_))
                    return false;
                if (otherPath_ == placed)
                    entry.movedAlong = entries_[entry.partner].movedAlong = true;
                continue;
            }
            const auto range = addedByPath.equal_range(HashOf(placed));
            for (auto there = range.first; there != range.second; ++there) {
                OneSidedEntry& added = entries_[there->second];
                if (added.partner != OneSidedEntry::kNone || added.folder != entry.folder)
                    continue;
                if (!finder_.Read(there->second, otherPath_, otherMetadata_))
                    return false;
                if (otherPath_ != placed)
                    continue;
                Pair(i, there->second);
                entry.movedAlong = added.movedAlong = true;
                break;
            }
        }
        return true;
    }

    // Where `path` lies below the new path of the deepest moved folder it
    // was in; empty when it was in none.
    std::string PlaceBelowMovedFolder(const std::string& path) const
    {
        for (std::string folder = Parent(path); !folder.empty(); folder = Parent(folder)) {
            const auto moved = movedFolders_.find(folder);
            if (moved != movedFolders_.end())
                return moved->second + path.substr(folder.size());
        }
        return std::string();
    }

    // Whether the device number of an Inode value both sides share stands
    // for one file system on both.
    bool SameFileSystem(const std::string& inode) const
    {
        const uint64_t device = std::strtoull(inode.c_str(), nullptr, 10);
        const auto old = before_.find(device);
        const auto current = after_.find(device);
        return old == before_.end() || current == after_.end() || old->second == current->second;
    }

    MoveFinder& finder_;
    std::vector<OneSidedEntry>& entries_;
    const FileSystemMap& before_;
    const FileSystemMap& after_;
    std::unordered_map<uint64_t, InodeSeen> byInode_;
    std::unordered_set<std::string> movedBetween_;  // "old parent\0new parent"
    std::unordered_map<std::string, std::string> movedFolders_;  // old path -> new path
    std::string path_;
    std::string metadata_;
    std::string otherPath_;
    std::string otherMetadata_;
    std::vector<CX::SAttribute> scratch_;
    bool failed_ = false;
};

bool MoveFinder::Resolve(const FileSystemMap& before, const FileSystemMap& after)
{
    return Pairing(*this, before, after).Run();
}

}  // namespace cxcli
