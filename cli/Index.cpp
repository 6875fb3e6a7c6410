// cx index: a snapshot of a directory tree into a container.
//
// The tree is walked without following symbolic links. Each folder becomes a
// row named by its absolute path with a trailing "/"; each other entry a file
// row under its folder. Metadata is a list of attributes:
//   Type="file" Size="1234" MTime="2026-12-07T23:49:58.123456789Z" Mode="0644" Uid="0" Gid="0"
// plus Target="..." for links, Collect="true" for --collect matches and
// XXH128="..." with --checksum. The ancestors of the indexed folder are
// recorded too (Type="ancestor"), so that a snapshot reviews clean.
//
// The walk and the writes overlap. Two listers read folders, stat every entry
// and format its metadata; the calling thread writes what they hand over
// through the library, a folder always before its files, inside transactions
// of a few thousand rows: an interrupted run leaves a valid container holding
// everything written so far, marked incomplete. Files are written one by one
// within those transactions rather than through the library's file queue,
// which would copy every entry once more and, inside a transaction, flush
// each thousand through a savepoint and its journal. The threads meet in a
// short queue of reusable batches, so memory stays the same however large
// the tree.
//
// The files of a folder are written in byte order of their names and the
// folders in the container's own folder order. Row ids then follow the order
// in which comparisons and listings read the rows back, which SQLite serves by
// stepping to the next row instead of searching for each one.
#include "Cli.h"

#include "ContentContainer.h"
#include "ContentContainerDatabase.h"
#include "FXPath.h"
#include "PathCollation.h"

#include <xxhash.h>

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

namespace cxcli {

namespace {

constexpr unsigned long long kRowsPerCommit = 20000;
// The size of a batch handed to the writer, and of how many may be on their way.
constexpr size_t kBatchEntries = 2048;
constexpr size_t kBatchBytes = 256 * 1024;
constexpr size_t kBatchesInFlight = 4;
// A folder with more files than this is read and sorted in parts: memory stays
// bounded, only the order of the rows' ids suffers.
constexpr size_t kListingEntries = 32768;
constexpr size_t kListingBytes = 4 * 1024 * 1024;

const char* TypeOf(mode_t mode)
{
    if (S_ISREG(mode)) return "file";
    if (S_ISDIR(mode)) return "dir";
    if (S_ISLNK(mode)) return "link";
    if (S_ISFIFO(mode)) return "fifo";
    if (S_ISSOCK(mode)) return "socket";
    if (S_ISCHR(mode)) return "chardev";
    if (S_ISBLK(mode)) return "blockdev";
    return "other";
}

// The reference form of a time, through gmtime_r.
std::string FormatTimeSlow(const timespec& time)
{
    tm utc{};
    gmtime_r(&time.tv_sec, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%09ldZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<long>(time.tv_nsec));
    return text;
}

void AppendUnsigned(std::string& out, unsigned long long value)
{
    char digits[24];
    char* const end = digits + sizeof digits;
    char* p = end;
    do {
        *--p = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    out.append(p, static_cast<size_t>(end - p));
}

void AppendSigned(std::string& out, long long value)
{
    if (value < 0) {
        out += '-';
        AppendUnsigned(out, 0ULL - static_cast<unsigned long long>(value));
    } else {
        AppendUnsigned(out, static_cast<unsigned long long>(value));
    }
}

void PutDigits(char* at, unsigned long long value, int width)
{
    for (int i = width - 1; i >= 0; --i) {
        at[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

// The text of FormatTimeSlow without the cost of gmtime_r and snprintf, for
// the years 0 to 9999; other times take the slow road.
void AppendTime(std::string& out, const timespec& time)
{
    const long long seconds = time.tv_sec;
    long long days = seconds / 86400;
    long long secondOfDay = seconds % 86400;
    if (secondOfDay < 0) {
        secondOfDay += 86400;
        --days;
    }
    // The civil date of a day count from 1970-01-01, proleptic Gregorian, in
    // 400-year eras that start on March 1st.
    const long long z = days + 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long dayOfEra = z - era * 146097;
    const long long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const long long monthFromMarch = (5 * dayOfYear + 2) / 153;
    const long long day = dayOfYear - (153 * monthFromMarch + 2) / 5 + 1;
    const long long month = monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9;
    const long long year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    if (year < 0 || year > 9999 || time.tv_nsec < 0 || time.tv_nsec > 999999999) {
        out += FormatTimeSlow(time);
        return;
    }
    char text[30];  // 2026-12-07T23:49:58.123456789Z
    PutDigits(text, static_cast<unsigned long long>(year), 4);
    text[4] = '-';
    PutDigits(text + 5, static_cast<unsigned long long>(month), 2);
    text[7] = '-';
    PutDigits(text + 8, static_cast<unsigned long long>(day), 2);
    text[10] = 'T';
    PutDigits(text + 11, static_cast<unsigned long long>(secondOfDay / 3600), 2);
    text[13] = ':';
    PutDigits(text + 14, static_cast<unsigned long long>(secondOfDay / 60 % 60), 2);
    text[16] = ':';
    PutDigits(text + 17, static_cast<unsigned long long>(secondOfDay % 60), 2);
    text[19] = '.';
    PutDigits(text + 20, static_cast<unsigned long long>(time.tv_nsec), 9);
    text[29] = 'Z';
    out.append(text, sizeof text);
}

// A pattern with a "/" matches the whole path, one without it the name.
bool Matches(const std::vector<std::string>& patterns, const char* path, const char* name)
{
    for (const auto& pattern : patterns) {
        const bool whole = pattern.find('/') != std::string::npos;
        if (fnmatch(pattern.c_str(), whole ? path : name, 0) == 0)
            return true;
    }
    return false;
}

enum class DigestResult { kDone, kFailed, kInterrupted };

DigestResult Digest(int directory, const char* name, std::vector<char>& buffer, std::string& hex)
{
    const int fd = openat(directory, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return DigestResult::kFailed;
    XXH3_state_t* state = XXH3_createState();
    bool ok = state != nullptr && XXH3_128bits_reset(state) == XXH_OK;
    bool interrupted = false;
    buffer.resize(1 << 20);
    while (ok) {
        // A large file must not hold Ctrl-C up until it is read through.
        if (g_interrupted.load(std::memory_order_relaxed)) {
            interrupted = true;
            break;
        }
        const ssize_t got = read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        ok = XXH3_128bits_update(state, buffer.data(), static_cast<size_t>(got)) == XXH_OK;
    }
    const int readError = errno;
    if (ok && !interrupted) {
        const XXH128_hash_t hash = XXH3_128bits_digest(state);
        char text[40];
        std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(hash.high64),
                      static_cast<unsigned long long>(hash.low64));
        hex = text;
    }
    XXH3_freeState(state);
    close(fd);
    errno = readError;
    return interrupted ? DigestResult::kInterrupted : ok ? DigestResult::kDone : DigestResult::kFailed;
}

// ---------------------------------------------------------------- the hand-over

// One entry of a batch: a folder (its full path) or a file of the folder
// before it (its name), with the metadata text, both inside the batch's text.
struct Entry {
    uint32_t nameOffset;
    uint32_t nameLength;
    uint32_t metadataOffset;
    uint32_t metadataLength;
    bool folder;
};

struct Batch {
    std::vector<Entry> entries;
    std::string text;

    std::string_view Name(const Entry& entry) const { return {text.data() + entry.nameOffset, entry.nameLength}; }
    std::string_view Metadata(const Entry& entry) const
    {
        return {text.data() + entry.metadataOffset, entry.metadataLength};
    }
    void Clear()
    {
        entries.clear();
        text.clear();
    }
};

// A fixed set of batches going round between the walker, which fills spare
// ones, and the writer, which empties them. Either side can end the round:
// the walker closes it when the walk is over, the writer cancels it when a
// write fails, so that neither waits for the other for ever.
class BatchQueue {
public:
    explicit BatchQueue(size_t batches)
    {
        for (size_t i = 0; i < batches; ++i)
            spare_.push_back(std::make_unique<Batch>());
    }

    // The walker's side. Spare() answers null once the writer has cancelled.
    std::unique_ptr<Batch> Spare()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        spareReady_.wait(lock, [this] { return cancelled_ || !spare_.empty(); });
        if (cancelled_)
            return nullptr;
        std::unique_ptr<Batch> batch = std::move(spare_.front());
        spare_.pop_front();
        return batch;
    }
    void Push(std::unique_ptr<Batch> batch)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            full_.push_back(std::move(batch));
        }
        fullReady_.notify_one();
    }
    void Close()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closed_ = true;
        }
        fullReady_.notify_one();
    }
    bool Cancelled() const { return cancelledFlag_.load(std::memory_order_relaxed); }

    // The writer's side. Next() answers null once the walker is done and
    // everything it pushed has been taken.
    std::unique_ptr<Batch> Next()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        fullReady_.wait(lock, [this] { return closed_ || !full_.empty(); });
        if (full_.empty())
            return nullptr;
        std::unique_ptr<Batch> batch = std::move(full_.front());
        full_.pop_front();
        return batch;
    }
    void Recycle(std::unique_ptr<Batch> batch)
    {
        batch->Clear();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            spare_.push_back(std::move(batch));
        }
        spareReady_.notify_one();
    }
    void Cancel()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            cancelled_ = true;
            cancelledFlag_.store(true);
        }
        spareReady_.notify_one();
    }

private:
    std::mutex mutex_;
    std::condition_variable spareReady_;
    std::condition_variable fullReady_;
    std::deque<std::unique_ptr<Batch>> spare_;
    std::deque<std::unique_ptr<Batch>> full_;
    bool closed_ = false;
    bool cancelled_ = false;
    std::atomic<bool> cancelledFlag_{false};
};

// ---------------------------------------------------------------- the walk

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
// the snapshot: neither its file nor SQLite's files beside it.
class OwnFiles {
public:
    explicit OwnFiles(const std::string& container)
    {
        const size_t slash = container.rfind('/');
        folder_ = container.substr(0, slash + 1);
        const std::string name = container.substr(slash + 1);
        names_ = {name, name + "-wal", name + "-shm", name + "-journal"};
    }
    bool InFolder(const std::string& folderPath) const { return folderPath == folder_; }
    bool IsOwn(const char* name) const
    {
        return std::find(names_.begin(), names_.end(), name) != names_.end();
    }

private:
    std::string folder_;
    std::array<std::string, 4> names_;
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
           const std::function<bool()>& stopped)
        : options_(options), own_(own), rootDevice_(rootDevice), warnings_(warnings), handles_(handles),
          stopped_(stopped),
          decorate_(isatty(STDERR_FILENO) != 0),
          needPath_(!options.excludes.empty() || !options.collects.empty())
    {
    }

    void Warn(const std::string& path, const char* what, int error)
    {
        ++warnings_;
        std::fprintf(stderr, "%scx: warning: %s: %s: %s\n", decorate_ ? "\r\033[K" : "", EscapeLine(path).c_str(),
                     what, std::strerror(error));
    }

    // Opens the folder and reads the first part of it.
    void Start(const PendingFolder& folder, Listing& listing)
    {
        int fd;
        if (folder.parent) {
            // Opened from its parent by name, without the "/" that would
            // follow a link put in its place.
            name_.assign(folder.path, folder.nameOffset, folder.path.size() - folder.nameOffset - 1);
            fd = openat(folder.parent->Fd(), name_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        } else {
            path_.assign(folder.path, 0, folder.path.size() > 1 ? folder.path.size() - 1 : 1);
            fd = open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        if (fd < 0) {
            Warn(folder.path, "cannot read folder", errno);
            listing.complete = true;
            return;
        }
        listing.reader.Open(fd);
        Continue(folder.path, listing);
    }

    // Reads on until the end of the folder or the end of this part.
    void Continue(const std::string& folderPath, Listing& listing)
    {
        folderPath_ = &folderPath;
        FolderReader& reader = listing.reader;
        const int directory = reader.Fd();
        const bool ownFolder = own_.InFolder(folderPath);
        bool partFull = false;
        while (!partFull) {
            if (stopped_())
                break;
            const char* name = reader.Next();
            if (name == nullptr) {
                if (reader.Error() != 0)
                    Warn(folderPath, "cannot list folder", reader.Error());
                break;
            }
            if (needPath_)
                path_.assign(folderPath).append(name);
            if ((!options_.excludes.empty() && Matches(options_.excludes, path_.c_str(), name)) ||
                (ownFolder && own_.IsOwn(name)))
                continue;
            struct stat status {};
            if (fstatat(directory, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
                const int error = errno;
                Warn(Path(name), "vanished or unreadable", error);
                continue;
            }
            if (S_ISDIR(status.st_mode)) {
                if (options_.oneFileSystem && status.st_dev != rootDevice_)
                    continue;
                AddSubfolder(listing, name, status);
                continue;
            }
            target_.clear();
            if (S_ISLNK(status.st_mode)) {
                char buffer[PATH_MAX + 1];
                const ssize_t length = readlinkat(directory, name, buffer, PATH_MAX);
                if (length >= 0)
                    target_.assign(buffer, static_cast<size_t>(length));
            }
            Entry entry{};
            entry.nameOffset = static_cast<uint32_t>(listing.text.size());
            entry.nameLength = static_cast<uint32_t>(std::strlen(name));
            listing.text.append(name, entry.nameLength);
            entry.metadataOffset = static_cast<uint32_t>(listing.text.size());
            if (!AppendMetadata(listing.text, status, name, directory, target_)) {
                listing.text.resize(entry.nameOffset);
                continue;
            }
            entry.metadataLength = static_cast<uint32_t>(listing.text.size() - entry.metadataOffset);
            listing.files.push_back(entry);
            partFull = listing.files.size() >= kListingEntries || listing.text.size() >= kListingBytes;
        }
        std::sort(listing.files.begin(), listing.files.end(),
                  [&listing](const Entry& a, const Entry& b) { return listing.Name(a) < listing.Name(b); });
        if (partFull && !stopped_())
            return;
        listing.complete = true;
        // Sorting the names with their "/" by the folder collation puts each
        // subtree where its whole paths sort.
        const char* text = listing.subfolderText.data();
        std::sort(listing.subfolders.begin(), listing.subfolders.end(), [text](const Subfolder& a, const Subfolder& b) {
            return CX::sqlite_collation_bypath(nullptr, static_cast<int32_t>(a.nameLength), text + a.nameOffset,
                                               static_cast<int32_t>(b.nameLength), text + b.nameOffset) < 0;
        });
        if (listing.subfolders.empty() || handles_.load(std::memory_order_relaxed) >= kMaxFolderHandles)
            listing.reader.Close();
        else
            listing.handle = std::make_shared<FolderHandle>(listing.reader.Release(), handles_);
    }

    // Appends the metadata of an entry of `directory` (or of the root, with
    // -1) to `out`; false when the entry is to be left out.
    bool AppendMetadata(std::string& out, const struct stat& status, const char* name, int directory,
                        const std::string& target)
    {
        out += "Type=\"";
        out += TypeOf(status.st_mode);
        out += '"';
        if (!S_ISDIR(status.st_mode)) {
            out += " Size=\"";
            AppendSigned(out, static_cast<long long>(status.st_size));
            out += '"';
        }
        out += " MTime=\"";
        AppendTime(out, status.st_mtim);
        out += "\" Mode=\"";
        const unsigned mode = static_cast<unsigned>(status.st_mode & 07777);
        const char octal[4] = {static_cast<char>('0' + (mode >> 9 & 7)), static_cast<char>('0' + (mode >> 6 & 7)),
                               static_cast<char>('0' + (mode >> 3 & 7)), static_cast<char>('0' + (mode & 7))};
        out.append(octal, 4);
        out += "\" Uid=\"";
        AppendUnsigned(out, static_cast<unsigned>(status.st_uid));
        out += "\" Gid=\"";
        AppendUnsigned(out, static_cast<unsigned>(status.st_gid));
        out += '"';
        if (S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode)) {
            out += " Rdev=\"";
            AppendUnsigned(out, static_cast<unsigned long long>(status.st_rdev));
            out += '"';
        }
        if (S_ISLNK(status.st_mode)) {
            out += " Target=\"";
            out += EscapeAttribute(target);
            out += '"';
        }
        if (!S_ISDIR(status.st_mode) && !options_.collects.empty() &&
            Matches(options_.collects, path_.c_str(), name))
            out += " Collect=\"true\"";
        if (options_.checksum && S_ISREG(status.st_mode) && directory >= 0) {
            switch (Digest(directory, name, buffer_, hex_)) {
            case DigestResult::kDone:
                out += " XXH128=\"";
                out += hex_;
                out += '"';
                break;
            case DigestResult::kFailed: {
                const int error = errno;
                Warn(Path(name), "cannot read for its checksum", error);
                break;
            }
            case DigestResult::kInterrupted:
                return false;
            }
        }
        return true;
    }

private:
    // The full path of an entry of the folder being read.
    const std::string& Path(const char* name)
    {
        if (!needPath_)
            path_.assign(*folderPath_).append(name);
        return path_;
    }

    // A subfolder waits for its own listing with the metadata from this one.
    void AddSubfolder(Listing& listing, const char* name, const struct stat& status)
    {
        std::string& text = listing.subfolderText;
        Subfolder subfolder{};
        subfolder.nameOffset = static_cast<uint32_t>(text.size());
        text += name;
        text += '/';
        subfolder.nameLength = static_cast<uint32_t>(text.size() - subfolder.nameOffset);
        subfolder.metadataOffset = static_cast<uint32_t>(text.size());
        AppendMetadata(text, status, name, -1, std::string());
        subfolder.metadataLength = static_cast<uint32_t>(text.size() - subfolder.metadataOffset);
        listing.subfolders.push_back(subfolder);
    }

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
    Walker(const IndexOptions& options, const OwnFiles& own, BatchQueue& queue, dev_t rootDevice)
        : queue_(queue), stopped_([this] { return Stopped(); }),
          lister_(options, own, rootDevice, warnings_, handles_, stopped_),
          helper_(options, own, rootDevice, warnings_, handles_, stopped_)
    {
    }

    // Closes the queue however it ends. An exception is kept for the caller's
    // thread.
    void Run(const std::string& root, const struct stat& rootStatus) noexcept
    {
        std::thread helper;
        try {
            auto top = std::make_shared<PendingFolder>();
            top->path = root;
            lister_.AppendMetadata(top->metadata, rootStatus, "", -1, std::string());
            stack_.push_back(top);
            batch_ = queue_.Spare();
            helper = std::thread([this] { Help(); });
            while (batch_ && !Stopped()) {
                PendingFolderPtr folder = Pop();
                if (!folder)
                    break;
                Write(*folder);
            }
            Ship();
        } catch (...) {
            Fail(std::current_exception());
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        changed_.notify_all();
        if (helper.joinable())
            helper.join();
        stack_.clear();
        queue_.Close();
    }

    unsigned long long Warnings() const { return warnings_.load(); }
    std::exception_ptr failure;

private:
    static constexpr size_t kWindow = 32;  // how far below the top a folder is read ahead
    static constexpr size_t kAheadFolders = 64;
    static constexpr size_t kAheadBytes = 8 * 1024 * 1024;

    bool Stopped() const
    {
        return g_interrupted.load(std::memory_order_relaxed) || queue_.Cancelled() ||
               failed_.load(std::memory_order_relaxed);
    }

    void Fail(std::exception_ptr exception)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!failure)
            failure = exception;
        failed_.store(true);
    }

    std::unique_ptr<Listing> TakeListing()
    {
        if (spare_.empty())
            return std::make_unique<Listing>();
        std::unique_ptr<Listing> listing = std::move(spare_.back());
        spare_.pop_back();
        return listing;
    }

    // The next folder with its listing, read here unless the helper has read
    // it or is reading it; null when the walk is over or stopped. While the
    // helper reads it, this thread reads ahead too rather than wait.
    PendingFolderPtr Pop()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stack_.empty()) {
            PendingFolderPtr folder = stack_.back();
            if (folder->state == PendingFolder::kWaiting) {
                stack_.pop_back();
                folder->state = PendingFolder::kListing;
                folder->listing = TakeListing();
                lock.unlock();
                lister_.Start(*folder, *folder->listing);
                return folder;
            }
            if (folder->state == PendingFolder::kListed) {
                stack_.pop_back();
                --aheadFolders_;
                aheadBytes_ -= folder->listing->Bytes();
                lock.unlock();
                changed_.notify_one();
                return folder;
            }
            if (Stopped())
                return nullptr;
            if (PendingFolderPtr ahead = NextToReadAhead()) {
                ReadAhead(lock, ahead, lister_);
                continue;
            }
            listed_.wait(lock);
        }
        return nullptr;
    }

    // Reads a folder ahead of its turn, with the lock released meanwhile.
    void ReadAhead(std::unique_lock<std::mutex>& lock, const PendingFolderPtr& folder, Lister& lister)
    {
        folder->state = PendingFolder::kListing;
        std::unique_ptr<Listing> listing = TakeListing();
        lock.unlock();
        lister.Start(*folder, *listing);
        lock.lock();
        aheadBytes_ += listing->Bytes();
        ++aheadFolders_;
        folder->listing = std::move(listing);
        folder->state = PendingFolder::kListed;
    }

    // The helper's loop: read the topmost waiting folder near the top of the
    // stack, while the budget allows.
    void Help() noexcept
    {
        try {
            std::unique_lock<std::mutex> lock(mutex_);
            for (;;) {
                PendingFolderPtr folder;
                changed_.wait(lock, [&] { return done_ || Stopped() || (folder = NextToReadAhead()) != nullptr; });
                if (!folder)
                    return;
                ReadAhead(lock, folder, helper_);
                listed_.notify_one();
            }
        } catch (...) {
            Fail(std::current_exception());
            listed_.notify_all();
        }
    }

    PendingFolderPtr NextToReadAhead() const
    {
        if (aheadFolders_ >= kAheadFolders || aheadBytes_ >= kAheadBytes)
            return nullptr;
        const size_t end = stack_.size() > kWindow ? stack_.size() - kWindow : 0;
        for (size_t i = stack_.size(); i > end; --i)
            if (stack_[i - 1]->state == PendingFolder::kWaiting)
                return stack_[i - 1];
        return nullptr;
    }

    // Hands the batch over when it holds something; false when the writer
    // has cancelled, and no batch is left to fill.
    bool Ship()
    {
        if (!batch_ || batch_->entries.empty())
            return batch_ != nullptr;
        queue_.Push(std::move(batch_));
        batch_ = queue_.Spare();
        return batch_ != nullptr;
    }

    bool ShipWhenFull()
    {
        if (batch_->entries.size() >= kBatchEntries || batch_->text.size() >= kBatchBytes)
            return Ship();
        return true;
    }

    bool Add(bool folder, std::string_view name, std::string_view metadata)
    {
        Batch& batch = *batch_;
        Entry entry{};
        entry.folder = folder;
        entry.nameOffset = static_cast<uint32_t>(batch.text.size());
        entry.nameLength = static_cast<uint32_t>(name.size());
        batch.text += name;
        entry.metadataOffset = static_cast<uint32_t>(batch.text.size());
        entry.metadataLength = static_cast<uint32_t>(metadata.size());
        batch.text += metadata;
        batch.entries.push_back(entry);
        return ShipWhenFull();
    }

    // The folder, then its files, then its subfolders onto the stack. After
    // Ctrl-C what was read goes on to the writer, but nothing more is read.
    void Write(PendingFolder& folder)
    {
        Listing& listing = *folder.listing;
        bool open = Add(true, folder.path, folder.metadata);
        for (;;) {
            for (size_t i = 0; open && i < listing.files.size(); ++i) {
                const Entry& file = listing.files[i];
                open = Add(false, listing.Name(file),
                           std::string_view(listing.text.data() + file.metadataOffset, file.metadataLength));
            }
            if (!open || listing.complete || Stopped())
                break;
            listing.ClearFiles();
            lister_.Continue(folder.path, listing);
        }
        if (open && !Stopped()) {
            const char* text = listing.subfolderText.data();
            std::lock_guard<std::mutex> lock(mutex_);
            for (auto subfolder = listing.subfolders.rbegin(); subfolder != listing.subfolders.rend(); ++subfolder) {
                auto pending = std::make_shared<PendingFolder>();
                pending->path.reserve(folder.path.size() + subfolder->nameLength);
                pending->path.assign(folder.path).append(text + subfolder->nameOffset, subfolder->nameLength);
                pending->nameOffset = folder.path.size();
                pending->metadata.assign(text + subfolder->metadataOffset, subfolder->metadataLength);
                pending->parent = listing.handle;
                stack_.push_back(std::move(pending));
            }
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            listing.Clear();
            spare_.push_back(std::move(folder.listing));
        }
        changed_.notify_one();
    }

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

// ---------------------------------------------------------------- the writer

class Writer {
public:
    Writer(const IndexOptions& options, CX::CContentContainerDatabase& db, CTimeStamp now)
        : options_(options), db_(db), now_(now), progress_("indexed")
    {
    }

    bool Begin(const std::string& root)
    {
        batch_ = std::make_unique<FX::CDatabaseTransaction>(&db_, 0);
        return RecordAncestors(root);
    }

    // Writes every batch the walker hands over, to the end of the walk; false
    // when a write failed (already reported).
    bool Consume(BatchQueue& queue)
    {
        while (std::unique_ptr<Batch> batch = queue.Next()) {
            for (const Entry& entry : batch->entries) {
                metadata_.assign(batch->Metadata(entry));
                if (entry.folder) {
                    folderPath_.assign(batch->Name(entry));
                    if (!WriteFolder())
                        return false;
                    ++folders;
                } else {
                    name_.assign(batch->Name(entry));
                    int64_t fileId = -1;
                    const CKoError error = db_.InsertOrUpdateFile(folderId_, name_, metadata_, now_, fileId);
                    if (error.IsError())
                        return Write(error, folderPath_ + name_);
                    ++files;
                }
                if (!Counted(1))
                    return false;
            }
            progress_.Update(folders + files, folderPath_);
            queue.Recycle(std::move(batch));
        }
        return true;
    }

    bool Finish()
    {
        if (!Write(batch_->Commit(), "the last batch"))
            return false;
        batch_.reset();
        return true;
    }

    unsigned long long folders = 0;
    unsigned long long files = 0;

private:
    bool Write(const CKoError& error, const std::string& what)
    {
        if (!error.IsError())
            return true;
        Fail(options_.container, "cannot write " + what + ": " + Cause(error));
        return false;
    }

    bool RecordAncestors(const std::string& root)
    {
        std::vector<std::string> ancestors;
        FXPath::SplitPaths(root, "", ancestors, 1);  // cannot fail
        for (const auto& ancestor : ancestors) {
            int64_t id = -1;
            if (!Write(db_.QueryOrInsertFolder(ancestor, "Type=\"ancestor\"", now_, id), ancestor))
                return false;
        }
        return true;
    }

    bool WriteFolder()
    {
        folderId_ = -1;
        if (options_.update)
            return Write(db_.QueryOrInsertFolder(folderPath_, metadata_, now_, folderId_), folderPath_) &&
                   Write(db_.UpdateFolderMetadata(folderId_, metadata_), folderPath_);
        return Write(db_.InsertFolder(folderPath_, metadata_, now_, folderId_), folderPath_);
    }

    // Commits the running batch every so many rows, so that an interruption
    // or a crash loses at most one batch.
    bool Counted(unsigned long long rows)
    {
        sinceCommit_ += rows;
        if (sinceCommit_ < kRowsPerCommit)
            return true;
        sinceCommit_ = 0;
        if (!Write(batch_->Commit(), "a batch"))
            return false;
        batch_ = std::make_unique<FX::CDatabaseTransaction>(&db_, 0);
        return true;
    }

    const IndexOptions& options_;
    CX::CContentContainerDatabase& db_;
    CTimeStamp now_;
    Progress progress_;
    unsigned long long sinceCommit_ = 0;
    std::unique_ptr<FX::CDatabaseTransaction> batch_;
    int64_t folderId_ = -1;
    std::string folderPath_;
    std::string name_;
    std::string metadata_;
};

// Runs the walker on a thread of its own while this thread writes; false when
// a write failed (already reported).
bool WriteTree(const IndexOptions& options, CX::CContentContainerDatabase& db, CTimeStamp now,
               const std::string& containerPath, const std::string& root, const struct stat& rootStatus,
               unsigned long long& folders, unsigned long long& files, unsigned long long& warnings)
{
    const OwnFiles own(containerPath);
    Writer writer(options, db, now);
    if (!writer.Begin(root))
        return false;
    BatchQueue queue(kBatchesInFlight);
    Walker walker(options, own, queue, rootStatus.st_dev);
    std::thread thread;
    try {
        thread = std::thread([&] { walker.Run(root, rootStatus); });
    } catch (const std::system_error& error) {
        Fail(root, std::string("cannot start the walk: ") + error.what());
        return false;
    }
    // Whatever ends the writing, the walker is stopped and waited for before
    // the objects it uses go away.
    struct JoinOnExit {
        BatchQueue& queue;
        std::thread& thread;
        ~JoinOnExit()
        {
            if (thread.joinable()) {
                queue.Cancel();
                thread.join();
            }
        }
    } join{queue, thread};

    bool written = writer.Consume(queue);
    if (!written)
        queue.Cancel();
    thread.join();
    folders = writer.folders;
    files = writer.files;
    warnings = walker.Warnings();
    if (walker.failure)
        std::rethrow_exception(walker.failure);
    return written && writer.Finish();
}

}  // namespace

int RunIndex(const IndexOptions& options)
{
    char resolved[PATH_MAX];
    if (realpath(options.directory.c_str(), resolved) == nullptr)
        return Fail(options.directory, std::strerror(errno));
    std::string root = resolved;
    struct stat rootStatus {};
    if (stat(root.c_str(), &rootStatus) != 0)
        return Fail(root, std::strerror(errno));
    if (!S_ISDIR(rootStatus.st_mode))
        return Fail(root, "not a directory");
    FXPath::AppendTrailingDelimiter(root);

    // The container object makes (or opens) the file and records where the
    // snapshot comes from; the database object writes the rows.
    CX::CContentContainer container;
    CKoError error = container.SetName(options.container);
    if (!error.IsError())
        error = options.update ? container.OpenExistingOrCreate() : container.ReplaceOrCreate();
    if (!error.IsError())
        error = container.SetOrigin(resolved);
    if (!error.IsError())
        error = container.SetOriginQuery(options.commandLine);
    std::string containerPath;
    if (!error.IsError())
        error = container.GetName(containerPath);
    if (!error.IsError())
        error = container.Close();
    if (error.IsError())
        return Fail(options.container, Cause(error));

    const CTimeStamp now = CTimeStamp::Now();
    unsigned long long folders = 0;
    unsigned long long files = 0;
    unsigned long long warnings = 0;
    {
        CX::CContentContainerDatabase db(containerPath);
        if (db.GetConstructionError().IsError())
            return Fail(options.container, Cause(db.GetConstructionError()));
        if (db.SetValue("SnapshotState", "incomplete").IsError())
            return Fail(options.container, "cannot write");
        const bool written = WriteTree(options, db, now, containerPath, root, rootStatus, folders, files, warnings);
        if (!written)
            return kTrouble;
        if (!g_interrupted.load()) {
            error = db.SetValue("SnapshotState", "complete");
            if (error.IsError())
                return Fail(options.container, Cause(error));
        }
    }
    std::fprintf(stderr, "%s%s: %llu folders, %llu files, %llu warnings%s\n", g_interrupted.load() ? "\r\033[K" : "",
                 EscapeLine(containerPath).c_str(), folders, files, warnings,
                 g_interrupted.load() ? " (interrupted: snapshot incomplete)" : "");
    return g_interrupted.load() ? kInterrupted : kClean;
}

}  // namespace cxcli
