// The walk of a tree: folders read by two listers, handed to the sink as
// batches in the order the container reads them back.
//
// The tree is walked without following symbolic links. Each folder goes to
// the sink with its absolute path and a trailing "/", followed by its files
// by name. The files of a folder come in byte order of their names and the
// folders in the container's own folder order.
#pragma once

#include "TreeBatchQueue.h"
#include "TreeSink.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <dirent.h>
#include <unistd.h>

namespace CX::walk {

// An open folder, kept while subfolders of it wait to be opened from it by
// name: no path is ever longer than one name, and the kernel is spared the
// walk down the whole path. Only so many are kept at a time (a deep tree keeps
// one per level): the subfolders of the others are opened from their nearest
// ancestor that is kept, one name after the other.
class FolderHandle {
public:
    FolderHandle(int fd, std::atomic<size_t>& count) : fd_(fd), count_(count) { ++count_; }
    ~FolderHandle()
    {
        close(fd_);
        --count_;
    }
    FolderHandle(const FolderHandle&) = delete;
    FolderHandle& operator=(const FolderHandle&) = delete;
    int Fd() const { return fd_; }

private:
    int fd_;
    std::atomic<size_t>& count_;
};

// How many folders may be kept open: raises the soft limit on descriptors to
// the hard one, and leaves room for the container, the listings read ahead
// and the files read for checksums.
size_t FolderHandleBudget();

// The names of an open folder, read straight from the kernel into a buffer of
// its own that is reused from folder to folder.
class FolderReader {
public:
    void Open(int fd)
    {
        fd_ = fd;
        position_ = end_ = 0;
        error_ = 0;
        if (buffer_.empty())
            buffer_.resize(32 * 1024);
    }
    // The next name other than "." and "..", or null at the end of the folder
    // or on a failure (then Error()).
    const char* Next()
    {
        for (;;) {
            if (position_ >= end_) {
                ssize_t got;
                do {
                    got = getdents64(fd_, buffer_.data(), buffer_.size());
                } while (got < 0 && errno == EINTR);
                if (got <= 0) {
                    error_ = got < 0 ? errno : 0;
                    return nullptr;
                }
                position_ = 0;
                end_ = static_cast<size_t>(got);
            }
            const auto* entry = reinterpret_cast<const struct dirent64*>(buffer_.data() + position_);
            position_ += entry->d_reclen;
            const char* name = entry->d_name;
            if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
                continue;
            type_ = entry->d_type;
            return name;
        }
    }
    int Fd() const { return fd_; }
    int Error() const { return error_; }
    // The type of the last name as the folder gives it (DT_DIR...), DT_UNKNOWN
    // where the file system does not say.
    unsigned char Type() const { return type_; }
    // The descriptor goes to the caller.
    int Release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void Close()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
    std::vector<char> buffer_;
    size_t position_ = 0;
    size_t end_ = 0;
    int error_ = 0;
    unsigned char type_ = DT_UNKNOWN;
};

// The container being written, when it lies inside the tree, is no part of
// the snapshot: neither its file nor the files beside it that belong to it.
// They are known by the identity of their folder and their names, so that
// whatever path leads to them (links, "..") they are left out.
class OwnFiles {
public:
    OwnFiles(dev_t folderDevice, ino_t folderInode, std::vector<std::string> names)
        : device_(folderDevice), inode_(folderInode), names_(std::move(names))
    {
    }
    bool IsOwnFolder(dev_t folderDevice, ino_t folderInode) const
    {
        return folderDevice == device_ && folderInode == inode_;
    }
    bool IsOwn(dev_t folderDevice, ino_t folderInode, const char* name) const
    {
        return IsOwnFolder(folderDevice, folderInode) && std::find(names_.begin(), names_.end(), name) != names_.end();
    }

private:
    dev_t device_;
    ino_t inode_;
    std::vector<std::string> names_;
};

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
    size_t Bytes() const
    {
        return text.size() + subfolderText.size() + files.size() * sizeof(Entry) +
               subfolders.size() * sizeof(Subfolder);
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

// The part of a listing that one thread does: open, read, stat, format. Each
// lister has its own buffers; what they share is read-only or atomic.
class Lister {
public:
    Lister(const WalkOptions& options, const OwnFiles& own, dev_t rootDevice, WalkReport& report,
           std::atomic<unsigned long long>& warnings, std::atomic<unsigned long long>& problems,
           std::atomic<size_t>& handles, size_t maxHandles, const std::function<bool()>& stopped);

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

    // Appends the metadata of an entry of `directory` (or of the root, with
    // -1) to `out`; false when the entry is to be left out.
    bool AppendMetadata(std::string& out, const struct stat& status, const char* name, int directory,
                        const std::string& target);

private:
    // The full path of an entry of the folder being read.
    const std::string& Path(const char* name);

    // Opens the folder below `parent` whose path begins at `offset` in
    // `path`, one name after the other; -1 and errno on a failure.
    int OpenBelow(int parent, const std::string& path, size_t offset);

    // A subfolder waits for its own listing with the metadata from this one.
    void AddSubfolder(Listing& listing, const char* name, const struct stat& status);
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
    const bool needPath_;  // patterns need the full path of every entry
    const std::string* folderPath_ = nullptr;
    std::string path_;
    std::string name_;
    std::string target_;
    std::string hex_;
    std::string metadata_;
    std::vector<char> buffer_;
};

// Walks the tree depth first, folders in the container's folder order, and
// hands every folder and file to the sink in that order. A second lister
// reads the folders that come next on the stack while this one writes out
// or reads the current one, so that two folders are read at a time; what is
// read ahead is bounded in folders and bytes.
class Walker {
public:
    // `stop` is set by whoever runs the walk to end it early.
    Walker(const WalkOptions& options, const OwnFiles& own, BatchQueue& queue, dev_t rootDevice, WalkReport& report,
           const std::atomic<bool>& stop);

    // Closes the queue however it ends. An exception is kept for the caller's
    // thread.
    void Run(const std::string& root, const struct stat& rootStatus) noexcept;

    unsigned long long Warnings() const { return warnings_.load(); }
    // How many entries could not be read; each is marked in its metadata.
    unsigned long long Problems() const { return problems_.load(); }
    std::exception_ptr failure;

private:
    static constexpr size_t kWindow = 32;  // how far below the top a folder is read ahead
    static constexpr size_t kAheadFolders = 64;
    static constexpr size_t kAheadBytes = 8 * 1024 * 1024;

    bool Stopped() const;
    void Fail(std::exception_ptr exception);
    std::unique_ptr<Listing> TakeListing();

    // The next folder with its listing, read here unless the helper has read
    // it or is reading it; null when the walk is over or stopped. While the
    // helper reads it, this thread reads ahead too rather than wait.
    PendingFolderPtr Pop();

    // Reads a folder ahead of its turn, with the lock released meanwhile.
    void ReadAhead(std::unique_lock<std::mutex>& lock, const PendingFolderPtr& folder, Lister& lister);

    // The helper's loop: read the topmost waiting folder near the top of the
    // stack, while the budget allows.
    void Help() noexcept;

    PendingFolderPtr NextToReadAhead() const;

    // Hands the batch over when it holds something; false when the sink
    // has cancelled, and no batch is left to fill.
    bool Ship();
    bool ShipWhenFull();
    bool Add(bool folder, std::string_view name, std::string_view metadata, bool amend = false);

    // The folder, then its files, then its subfolders onto the stack. After
    // a stop what was read goes on to the sink, but nothing more is read.
    void Write(PendingFolder& folder);

    BatchQueue& queue_;
    const std::atomic<bool>& stop_;
    std::function<bool()> stopped_;
    std::atomic<unsigned long long> warnings_{0};
    std::atomic<unsigned long long> problems_{0};
    std::atomic<size_t> handles_{0};
    const size_t maxHandles_;
    std::atomic<bool> failed_{false};
    Lister lister_;
    Lister helper_;
    std::unique_ptr<Batch> batch_;

    // Shared with the helper, under mutex_.
    std::mutex mutex_;
    std::condition_variable changed_;  // for the helper: work or room appeared, or the end
    std::condition_variable listed_;   // for the walker: a folder was read ahead
    std::vector<PendingFolderPtr> stack_;
    std::vector<std::unique_ptr<Listing>> spare_;
    size_t aheadFolders_ = 0;
    size_t aheadBytes_ = 0;
    bool done_ = false;
};

}  // namespace CX::walk
