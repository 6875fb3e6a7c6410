// The listing of one folder by one of the walk's threads: its files and
// subfolders read, stat'ed, formatted and sorted.
#pragma once

#include "EntryStatus.h"
#include "ExtendedAttributes.h"
#include "FileDigest.h"
#include "FileSystems.h"
#include "FolderReader.h"
#include "OwnFiles.h"
#include "PreviousDigests.h"
#include "TreeBatchQueue.h"
#include "TreeSink.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace CX::walk {

struct Subfolder {
    uint32_t nameOffset;  // the name with a "/" appended
    uint32_t nameLength;
    uint32_t metadataOffset;
    uint32_t metadataLength;
    bool unreadable;  // not to be opened: its metadata says why
};

// What one listing of a folder found: its files in byte order of their
// names, and its subfolders in the container's folder order. A folder larger
// than one listing holds is read on in further parts (`complete` false, the
// folder still open in `reader`); each part is sorted on its own.
struct Listing {
    std::string text;  // names and metadata of the files
    std::vector<Entry> files;
    std::string subfolderText;
    std::vector<Subfolder> subfolders;
    FolderReader reader;
    std::shared_ptr<FolderHandle> handle;  // this folder, for opening its subfolders
    bool complete = false;
    dev_t device = 0;        // the folder's identity, from its handle
    ino_t inode = 0;
    bool ownFolder = false;  // the container's files may be among its entries
    bool vanished = false;   // the folder was gone before it could be opened
    std::string problem;     // why it could not be opened or read to the end

    std::string_view Name(const Entry& entry) const { return {text.data() + entry.nameOffset, entry.nameLength}; }
    // The memory it holds: the room its buffers took, more than they hold.
    size_t Bytes() const
    {
        return text.capacity() + subfolderText.capacity() + files.capacity() * sizeof(Entry) +
               subfolders.capacity() * sizeof(Subfolder);
    }
    void ClearFiles()
    {
        text.clear();
        files.clear();
    }
    // Ready for another folder. The room a large folder took is given back,
    // so that the listings kept for reuse stay small.
    void Clear()
    {
        ClearFiles();
        subfolderText.clear();
        subfolders.clear();
        if (text.capacity() > kKeptBytes || subfolderText.capacity() > kKeptBytes) {
            std::string().swap(text);
            std::string().swap(subfolderText);
            std::vector<Entry>().swap(files);
            std::vector<Subfolder>().swap(subfolders);
        }
        reader.Close();
        handle.reset();
        complete = false;
        ownFolder = false;
        vanished = false;
        problem.clear();
    }

    static constexpr size_t kKeptBytes = 256 * 1024;
};

// A folder found by the walk and not yet written, with its listing once one
// of the listers has made it.
struct PendingFolder {
    enum State { kWaiting, kListing, kListed };

    std::string path;  // absolute, ending with "/"
    std::string metadata;
    // The nearest ancestor kept open, and where the path below it begins in
    // `path` (its own name, or the names down from that ancestor). Null:
    // opened by its path (the top folder).
    std::shared_ptr<FolderHandle> parent;
    size_t nameOffset = 0;
    bool unreadable = false;  // not to be opened: its metadata says why
    State state = kWaiting;
    std::unique_ptr<Listing> listing;
};
typedef std::shared_ptr<PendingFolder> PendingFolderPtr;

// How many digests the listers read and took over.
struct DigestCounts {
    std::atomic<unsigned long long> taken{0};
    std::atomic<unsigned long long> reused{0};
};

// The part of a listing that one thread does: open, read, stat, format. Each
// lister has its own buffers; what they share is read-only or atomic.
class Lister {
public:
    Lister(const WalkOptions& options, const OwnFiles& own, dev_t rootDevice, WalkReport& report,
           std::atomic<unsigned long long>& warnings, std::atomic<unsigned long long>& problems,
           std::atomic<size_t>& handles, size_t maxHandles, const std::function<bool()>& stopped,
           FileSystems& fileSystems, DigestCounts& digests);

    // Counted and passed on to the report.
    void Warn(const std::string& path, const char* what, const char* cause);
    void Warn(const std::string& path, const char* what, int error);
    // A warning about something that could not be read, counted apart: the
    // snapshot then lacks it and says so.
    void Problem(const std::string& path, const char* what, const char* cause);

    // Opens the folder and reads the first part of it.
    void Start(const PendingFolder& folder, Listing& listing);

    // Reads on until the end of the folder or the end of this part.
    void Continue(const std::string& folderPath, Listing& listing);

    // Appends the metadata of the entry `name` of the open folder
    // `directory` (or of the root, AT_FDCWD with its path) to `out`; false
    // when the entry is to be left out.
    bool AppendMetadata(std::string& out, const EntryStatus& status, int directory, const char* name,
                        const std::string& target);

private:
    // The full path of an entry of the folder being read (of the root: its
    // path as given).
    const std::string& Path(const char* name);

    // One entry of the folder: left out, or added to the listing.
    void ListEntry(Listing& listing, int directory, const char* name, unsigned char type);
    // A link's target into target_; false when the entry is to be left out.
    bool ReadTarget(int directory, const char* name, const char*& unreadable);
    // Sorts the last part read; at the folder's end, its subfolders too.
    void FinishPart(Listing& listing, bool partFull);
    // The digest of a regular file, appended; false when it is to be left out.
    bool AppendDigest(std::string& out, const EntryStatus& status, int directory, const char* name);

    // Opens the folder below `parent` whose path begins at `offset` in
    // `path`, one name after the other; none, with errno, on a failure.
    FX::UniqueFd OpenBelow(int parent, const std::string& path, size_t offset);

    // A subfolder waits for its own listing with the metadata from this one.
    void AddSubfolder(Listing& listing, int directory, const char* name, const EntryStatus& status);
    // An entry that could not be stat'ed: recorded with what its folder says
    // of its type and why.
    void AddUnreadable(Listing& listing, const char* name, unsigned char type, int error);

    const WalkOptions& options_;
    const OwnFiles& own_;
    const dev_t rootDevice_;
    WalkReport& report_;
    std::atomic<unsigned long long>& warnings_;
    std::atomic<unsigned long long>& problems_;
    std::atomic<size_t>& handles_;
    const size_t maxHandles_;
    const std::function<bool()>& stopped_;
    FileSystems& fileSystems_;
    DigestCounts& digests_;
    const bool needPath_;  // patterns need the full path of every entry
    const std::string* folderPath_ = nullptr;
    std::string path_;
    std::string name_;
    std::string target_;
    std::string hex_;
    std::string metadata_;
    std::string problem_;
    std::unique_ptr<FileDigest> digest_;  // with a checksum
    std::unique_ptr<PreviousDigests> previous_;  // when an update may take digests over
    ExtendedAttributes xattrs_;
};

}  // namespace CX::walk
