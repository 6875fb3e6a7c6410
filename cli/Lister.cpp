// The listing of one folder: its entries read, stat'ed and formatted.
#include "Walker.h"

#include "Digest.h"
#include "Metadata.h"
#include "PathCollation.h"

#include <fcntl.h>
#include <fnmatch.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace cxcli {

namespace {

// A folder with more files than this is read and sorted in parts: memory stays
// bounded, only the order of the rows' ids suffers.
constexpr size_t kListingEntries = 32768;
constexpr size_t kListingBytes = 4 * 1024 * 1024;

// --collect: a pattern with a "/" matches the whole path, one without it the name.
bool Matches(const std::vector<std::string>& patterns, const char* path, const char* name)
{
    for (const auto& pattern : patterns) {
        const bool whole = pattern.find('/') != std::string::npos;
        if (fnmatch(pattern.c_str(), whole ? path : name, 0) == 0)
            return true;
    }
    return false;
}

}  // namespace

Lister::Lister(const IndexOptions& options, const OwnFiles& own, dev_t rootDevice,
               std::atomic<unsigned long long>& warnings, std::atomic<size_t>& handles,
               const std::function<bool()>& stopped)
    : options_(options), own_(own), rootDevice_(rootDevice), warnings_(warnings), handles_(handles),
      stopped_(stopped),
      decorate_(isatty(STDERR_FILENO) != 0),
      needPath_(!options.excludes.Empty() || !options.collects.empty())
{
}

void Lister::Warn(const std::string& path, const char* what, int error)
{
    ++warnings_;
    std::fprintf(stderr, "%scx: warning: %s: %s: %s\n", decorate_ ? "\r\033[K" : "", EscapeLine(path).c_str(),
                 what, std::strerror(error));
}

void Lister::Start(const PendingFolder& folder, Listing& listing)
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

void Lister::Continue(const std::string& folderPath, Listing& listing)
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
        if (ownFolder && own_.IsOwn(name))
            continue;
        // The rules' paths are relative to the root; some rules match folders only.
        const auto excluded = [this](bool isFolder) {
            return !options_.excludes.Empty() &&
                   options_.excludes.Excluded(path_.c_str() + options_.root.size(), isFolder);
        };
        struct stat status {};
        if (fstatat(directory, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
            const int error = errno;
            if (!excluded(false) && !excluded(true))
                Warn(Path(name), "vanished or unreadable", error);
            continue;
        }
        if (excluded(S_ISDIR(status.st_mode)))
            continue;
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

bool Lister::AppendMetadata(std::string& out, const struct stat& status, const char* name, int directory,
                            const std::string& target)
{
    AppendAttributes(out, status, target);
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

const std::string& Lister::Path(const char* name)
{
    if (!needPath_)
        path_.assign(*folderPath_).append(name);
    return path_;
}

void Lister::AddSubfolder(Listing& listing, const char* name, const struct stat& status)
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

}  // namespace cxcli
