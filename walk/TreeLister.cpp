// The listing of one folder: its entries read, stat'ed and formatted.
#include "TreeLister.h"

#include "EntryMetadata.h"
#include "FileDigest.h"
#include "LogWriter.h"
#include "PathCollation.h"

#include <fcntl.h>
#include <fnmatch.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace CX::walk {

namespace {

// A folder with more files than this is read and sorted in parts: memory stays
// bounded, only the order of the rows' ids suffers.
constexpr size_t kListingEntries = 32768;
constexpr size_t kListingBytes = 4 * 1024 * 1024;

// Collect patterns: one with a "/" matches the whole path, one without it the name.
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

Lister::Lister(const WalkOptions& options, const OwnFiles& own, dev_t rootDevice, WalkReport& report,
               std::atomic<unsigned long long>& warnings, std::atomic<unsigned long long>& problems,
               std::atomic<size_t>& handles, size_t maxHandles, const std::function<bool()>& stopped,
               FileSystems& fileSystems, DigestCounts& digests)
    : options_(options), own_(own), rootDevice_(rootDevice), report_(report), warnings_(warnings),
      problems_(problems), handles_(handles), maxHandles_(maxHandles), stopped_(stopped), fileSystems_(fileSystems),
      digests_(digests),
      needPath_(!options.excludes.Empty() || !options.collects.empty() || !options.policy.Empty())
{
    if (!options.reuseDigestsFrom.empty())
        previous_ = std::make_unique<PreviousDigests>(
            options.reuseDigestsFrom,
            options.checksum != EChecksum::None ? options.checksum : options.policyChecksum,
            options.previousFileSystems);
}

void Lister::Warn(const std::string& path, const char* what, const char* cause)
{
    ++warnings_;
    report_.Warning(path, what, cause, false);
}

void Lister::Warn(const std::string& path, const char* what, int error)
{
    Warn(path, what, std::strerror(error));
}

void Lister::Problem(const std::string& path, const char* what, const char* cause)
{
    ++problems_;
    ++warnings_;
    report_.Warning(path, what, cause, true);
}

FX::UniqueFd Lister::OpenBelow(int parent, const std::string& path, size_t offset)
{
    // Each name is opened without the "/" that would follow a link put in
    // its place; the folders on the way are opened only to pass through.
    FX::UniqueFd at;
    while (offset < path.size()) {
        const size_t slash = path.find('/', offset);
        name_.assign(path, offset, slash - offset);
        offset = slash + 1;
        const bool last = offset >= path.size();
        FX::UniqueFd next(openat(at ? at.Get() : parent, name_.c_str(),
                                 (last ? O_RDONLY : O_PATH) | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next)
            return next;
        at = std::move(next);
    }
    return at;
}

void Lister::Start(const PendingFolder& folder, Listing& listing)
{
    if (folder.unreadable) {
        listing.complete = true;
        return;
    }
    FX::UniqueFd fd;
    if (folder.parent) {
        fd = OpenBelow(folder.parent->Fd(), folder.path, folder.nameOffset);
    } else {
        path_.assign(folder.path, 0, folder.path.size() > 1 ? folder.path.size() - 1 : 1);
        fd.Reset(open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    if (!fd) {
        const int error = errno;
        listing.complete = true;
        if (error == ENOENT) {
            listing.vanished = true;
            Warn(folder.path, "vanished", error);
        } else {
            listing.problem = std::strerror(error);
            Problem(folder.path, "cannot read folder", listing.problem.c_str());
        }
        return;
    }
    struct stat status {};
    if (fstat(fd.Get(), &status) == 0) {
        listing.device = status.st_dev;
        fileSystems_.Note(status.st_dev, fd.Get());
        listing.inode = status.st_ino;
        listing.ownFolder = own_.IsOwnFolder(status.st_dev, status.st_ino);
    }
    listing.reader.Open(std::move(fd));
    Continue(folder.path, listing);
}

void Lister::Continue(const std::string& folderPath, Listing& listing)
{
    folderPath_ = &folderPath;
    if (previous_)
        previous_->Folder(folderPath);
    FolderReader& reader = listing.reader;
    const int directory = reader.Fd();
    bool partFull = false;
    while (!partFull) {
        if (stopped_())
            break;
        const char* name = reader.Next();
        if (name == nullptr) {
            if (reader.Error() != 0) {
                listing.problem = std::strerror(reader.Error());
                Problem(folderPath, "cannot list folder", listing.problem.c_str());
            }
            break;
        }
        if (listing.ownFolder && own_.IsOwn(listing.device, listing.inode, name))
            continue;
        ListEntry(listing, directory, name, reader.Type());
        partFull = listing.files.size() >= kListingEntries || listing.text.size() >= kListingBytes;
    }
    FinishPart(listing, partFull);
}

void Lister::ListEntry(Listing& listing, int directory, const char* name, unsigned char type)
{
    if (needPath_)
        path_.assign(*folderPath_).append(name);
    // The rules' paths are relative to the root; some rules match folders only.
    const auto excluded = [this](bool isFolder) {
        const char* relative = path_.c_str() + options_.root.size();
        return (!options_.excludes.Empty() && options_.excludes.Excluded(relative, isFolder)) ||
               (!options_.policy.Empty() && options_.policy.Excludes(relative, isFolder));
    };
    EntryStatus status;
    if (!StatAt(directory, name, status)) {
        const int error = errno;
        if (excluded(false) || excluded(true))
            return;  // what the rules leave out gets no word
        if (error == ENOENT)
            Warn(Path(name), "vanished", error);
        else
            AddUnreadable(listing, name, type, error);
        return;
    }
    if (excluded(status.IsFolder()))
        return;
    if (status.IsFolder()) {
        if (!options_.oneFileSystem || status.device == rootDevice_)
            AddSubfolder(listing, directory, name, status);
        return;
    }
    target_.clear();
    const char* unreadable = nullptr;
    if (status.IsLink() && !ReadTarget(directory, name, unreadable))
        return;
    Entry entry{};
    entry.nameOffset = static_cast<uint32_t>(listing.text.size());
    entry.nameLength = static_cast<uint32_t>(std::strlen(name));
    listing.text.append(name, entry.nameLength);
    entry.metadataOffset = static_cast<uint32_t>(listing.text.size());
    if (!AppendMetadata(listing.text, status, directory, name, target_)) {
        listing.text.resize(entry.nameOffset);
        return;
    }
    if (unreadable != nullptr)
        AppendUnreadable(listing.text, unreadable);
    entry.metadataLength = static_cast<uint32_t>(listing.text.size() - entry.metadataOffset);
    listing.files.push_back(entry);
}

bool Lister::ReadTarget(int directory, const char* name, const char*& unreadable)
{
    char buffer[PATH_MAX + 1];
    const ssize_t length = readlinkat(directory, name, buffer, PATH_MAX);
    if (length >= 0) {
        target_.assign(buffer, static_cast<size_t>(length));
        return true;
    }
    if (errno == ENOENT) {
        Warn(Path(name), "vanished", ENOENT);
        return false;
    }
    // No longer a link (EINVAL), or not readable.
    unreadable = errno == EINVAL ? "changed while read" : std::strerror(errno);
    Problem(Path(name), "cannot read link", unreadable);
    return true;
}

void Lister::FinishPart(Listing& listing, bool partFull)
{
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
    if (listing.subfolders.empty() || handles_.load(std::memory_order_relaxed) >= maxHandles_)
        listing.reader.Close();
    else
        listing.handle = std::make_shared<FolderHandle>(listing.reader.Release(), handles_);
}

bool Lister::AppendMetadata(std::string& out, const EntryStatus& status, int directory, const char* name,
                            const std::string& target)
{
    AppendAttributes(out, status, target);
    if (options_.xattrs) {
        switch (xattrs_.Append(directory, name, out, problem_)) {
        case ExtendedAttributes::Result::kDone:
            break;
        case ExtendedAttributes::Result::kVanished:
            Warn(Path(name), "vanished", ENOENT);
            return false;
        case ExtendedAttributes::Result::kFailed:
            Problem(Path(name), "cannot read extended attributes", problem_.c_str());
            AppendUnreadable(out, problem_.c_str());
            break;
        }
    }
    if (!status.IsFolder() && !options_.collects.empty() && Matches(options_.collects, Path(name).c_str(), name))
        out += " Collect=\"true\"";
    if (!status.IsRegular())
        return true;
    // The policy may digest what the settings do not, or leave out what they do.
    bool digest = options_.checksum != EChecksum::None;
    if (!options_.policy.Empty() && name[0] != '/')
        digest = options_.policy.Digests(path_.c_str() + options_.root.size(), digest);
    return digest ? AppendDigest(out, status, directory, name) : true;
}

bool Lister::AppendDigest(std::string& out, const EntryStatus& status, int directory, const char* name)
{
    const EChecksum algorithm = options_.checksum != EChecksum::None ? options_.checksum : options_.policyChecksum;
    if (previous_) {
        const char* why = "";
        std::string_view recorded;
        const bool reusable =
            previous_->Reusable(name, status, fileSystems_.IdentityOf(status.device), recorded, why);
        if (FXGetTraceLevel() >= 1)
            FXLogWrite(1, __PRETTY_FUNCTION__, __LINE__, "digest of %s %s: %s", Path(name).c_str(),
                       reusable ? "taken over" : "read", why);
        if (reusable) {
            ++digests_.reused;
            out += ' ';
            out += ChecksumAttribute(algorithm);
            out += "=\"";
            out += recorded;
            out += '"';
            return true;
        }
    }
    ++digests_.taken;
    if (!digest_)
        digest_ = std::make_unique<FileDigest>(algorithm);
    switch (digest_->Digest(directory, name, status, hex_, stopped_)) {
    case DigestResult::kDone:
        out += ' ';
        out += ChecksumAttribute(algorithm);
        out += "=\"";
        out += hex_;
        out += '"';
        return true;
    case DigestResult::kVanished:
        Warn(Path(name), "vanished", ENOENT);
        return false;
    case DigestResult::kFailed: {
        const char* cause = std::strerror(errno);
        Problem(Path(name), "cannot read for its checksum", cause);
        AppendUnreadable(out, cause);
        return true;
    }
    case DigestResult::kChanged:
        Problem(Path(name), "cannot read for its checksum", "changed while read");
        AppendUnreadable(out, "changed while read");
        return true;
    case DigestResult::kInterrupted:
        return false;
    }
    return true;
}

const std::string& Lister::Path(const char* name)
{
    if (name[0] == '/')
        path_.assign(name);  // the root
    else if (!needPath_)
        path_.assign(*folderPath_).append(name);
    return path_;
}

void Lister::AddSubfolder(Listing& listing, int directory, const char* name, const EntryStatus& status)
{
    std::string& text = listing.subfolderText;
    Subfolder subfolder{};
    subfolder.nameOffset = static_cast<uint32_t>(text.size());
    text += name;
    text += '/';
    subfolder.nameLength = static_cast<uint32_t>(text.size() - subfolder.nameOffset);
    subfolder.metadataOffset = static_cast<uint32_t>(text.size());
    if (!AppendMetadata(text, status, directory, name, std::string())) {
        text.resize(subfolder.nameOffset);
        return;
    }
    subfolder.metadataLength = static_cast<uint32_t>(text.size() - subfolder.metadataOffset);
    subfolder.unreadable = false;
    listing.subfolders.push_back(subfolder);
}

void Lister::AddUnreadable(Listing& listing, const char* name, unsigned char type, int error)
{
    const char* cause = std::strerror(error);
    Problem(Path(name), "cannot stat", cause);
    metadata_.clear();
    if (type != DT_UNKNOWN) {
        metadata_ += "Type=\"";
        metadata_ += TypeOf(DTTOIF(type));
        metadata_ += '"';
    }
    AppendUnreadable(metadata_, cause);
    if (metadata_[0] == ' ')
        metadata_.erase(0, 1);
    const bool folder = type == DT_DIR;
    std::string& text = folder ? listing.subfolderText : listing.text;
    const auto nameOffset = static_cast<uint32_t>(text.size());
    text += name;
    if (folder)
        text += '/';
    const auto metadataOffset = static_cast<uint32_t>(text.size());
    text += metadata_;
    const auto metadataLength = static_cast<uint32_t>(metadata_.size());
    if (folder) {
        // Recorded as a folder, so that what it holds counts as unknown
        // rather than gone, but never opened.
        listing.subfolders.push_back(Subfolder{nameOffset, metadataOffset - nameOffset, metadataOffset,
                                               metadataLength, true});
    } else {
        Entry entry{};
        entry.nameOffset = nameOffset;
        entry.nameLength = metadataOffset - nameOffset;
        entry.metadataOffset = metadataOffset;
        entry.metadataLength = metadataLength;
        listing.files.push_back(entry);
    }
}

}  // namespace CX::walk
