// The walk of a tree for cx index: folders read by two listers, handed to the
// writer as batches in the order the container reads them back.
//
// The tree is walked without following symbolic links. Each folder goes to
// the writer with its absolute path and a trailing "/", followed by its files
// by name. The files of a folder come in byte order of their names and the
// folders in the container's own folder order.
#pragma once

#include "BatchQueue.h"
#include "Cli.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <array>
#include <atomic>
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
#include <vector>

#include <dirent.h>
#include <unistd.h>

namespace cxcli {

// An open folder, kept while subfolders of it wait to be opened from it by
// name, which spares the kernel the walk down the whole path. Only so many are
// kept at a time (a deep tree keeps one per level): the subfolders of the
// others are opened by their paths.
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
constexpr size_t kMaxFolderHandles = 256;

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
            return name;
        }
    }
    int Fd() const { return fd_; }
    int Error() const { return error_; }
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
};

// The container being written, when it lies inside the tree, is no part of
// the snapshot: neither its file nor SQLite's files beside it, nor the
// temporary files (".NAME.tmpXXXXXX") a snapshot is built in.
class OwnFiles {
public:
    explicit OwnFiles(const std::string& container)
    {
        const size_t slash = container.rfind('/');
        folder_ = container.substr(0, slash + 1);
        const std::string name = container.substr(slash + 1);
        names_ = {name, name + "-wal", name + "-shm", name + "-journal"};
        temporary_ = "." + name + ".tmp";
    }
    bool InFolder(const std::string& folderPath) const { return folderPath == folder_; }
    bool IsOwn(const char* name) const
    {
        return std::find(names_.begin(), names_.end(), name) != names_.end() ||
               std::strncmp(name, temporary_.c_str(), temporary_.size()) == 0;
    }

private:
    std::string folder_;
    std::array<std::string, 4> names_;
    std::string temporary_;
};

struct Subfolder {
    uint32_t nameOffset;  // the name with a "/" appended
    uint32_t nameLength;
    uint32_t metadataOffset;
    uint32_t metadataLength;
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
    }

    static constexpr size_t kKeptBytes = 256 * 1024;
};

// A folder found by the walk and not yet written, with its listing once one
// of the listers has made it.
struct PendingFolder {
    enum State { kWaiting, kListing, kListed };

    std::string path;  // absolute, ending with "/"
    std::string metadata;
    std::shared_ptr<FolderHandle> parent;  // null: opened by its path
    size_t nameOffset = 0;                 // where its own name begins in `path`
    State state = kWaiting;
    std::unique_ptr<Listing> listing;
};
typedef std::shared_ptr<PendingFolder> PendingFolderPtr;

// The part of a listing that one thread does: open, read, stat, format. Each
// lister has its own buffers; what they share is read-only or atomic.
class Lister {
public:
    Lister(const IndexOptions& options, const OwnFiles& own, dev_t rootDevice,
           std::atomic<unsigned long long>& warnings, std::atomic<size_t>& handles,
           const std::function<bool()>& stopped);

    void Warn(const std::string& path, const char* what, int error);

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

    // A subfolder waits for its own listing with the metadata from this one.
    void AddSubfolder(Listing& listing, const char* name, const struct stat& status);

    const IndexOptions& options_;
    const OwnFiles& own_;
    const dev_t rootDevice_;
    std::atomic<unsigned long long>& warnings_;
    std::atomic<size_t>& handles_;
    const std::function<bool()>& stopped_;
    const bool decorate_;
    const bool needPath_;  // patterns need the full path of every entry
    const std::string* folderPath_ = nullptr;
    std::string path_;
    std::string name_;
    std::string target_;
    std::string hex_;
    std::vector<char> buffer_;
};

// Walks the tree depth first, folders in the container's folder order, and
// hands every folder and file to the writer in that order. A second lister
// reads the folders that come next on the stack while this one writes out
// or reads the current one, so that two folders are read at a time; what is
// read ahead is bounded in folders and bytes.
class Walker {
public:
    Walker(const IndexOptions& options, const OwnFiles& own, BatchQueue& queue, dev_t rootDevice);

    // Closes the queue however it ends. An exception is kept for the caller's
    // thread.
    void Run(const std::string& root, const struct stat& rootStatus) noexcept;

    unsigned long long Warnings() const { return warnings_.load(); }
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

    // Hands the batch over when it holds something; false when the writer
    // has cancelled, and no batch is left to fill.
    bool Ship();
    bool ShipWhenFull();
    bool Add(bool folder, std::string_view name, std::string_view metadata);

    // The folder, then its files, then its subfolders onto the stack. After
    // Ctrl-C what was read goes on to the writer, but nothing more is read.
    void Write(PendingFolder& folder);

    BatchQueue& queue_;
    std::function<bool()> stopped_;
    std::atomic<unsigned long long> warnings_{0};
    std::atomic<size_t> handles_{0};
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

}  // namespace cxcli
