#include "DiffPrinter.h"

#include "FXPath.h"
#include "Output.h"

#include <cerrno>
#include <cstring>
#include <string_view>

namespace cxcli {

namespace {

const char kLetters[] = {'A', 'D', 'M', 'R', '?'};
const char* const kWords[] = {"added", "deleted", "modified", "moved", "unknown"};

// Whether `metadata` holds the attribute `key`: `key="` at its start or after
// a space. Inside a value a quote is escaped, so no value holds that. The
// key's first letter is rare in metadata texts, so memchr finds the few
// places worth comparing; every entry of a comparison is looked at.
bool HasKey(std::string_view metadata, std::string_view key)
{
    for (size_t at = metadata.find(key[0]); at != std::string_view::npos; at = metadata.find(key[0], at + 1))
        if ((at == 0 || metadata[at - 1] == ' ') && metadata.compare(at, key.size(), key) == 0 &&
            metadata.compare(at + key.size(), 2, "=\"") == 0)
            return true;
    return false;
}

}  // namespace

// ---------------------------------------------------------------- path filter

bool PathFilter::Wanted(const std::string& path)
{
    if (paths_.empty())
        return true;
    bool wanted = false;
    for (size_t i = 0; i < paths_.size(); ++i) {
        const std::string& root = paths_[i];
        if (root == "/" ||
            (path.compare(0, root.size(), root) == 0 && (path.size() == root.size() || path[root.size()] == '/'))) {
            met_[i] = true;
            wanted = true;
        }
    }
    return wanted;
}

std::vector<std::string> PathFilter::Unmet() const
{
    std::vector<std::string> unmet;
    for (size_t i = 0; i < paths_.size(); ++i)
        if (!met_[i])
            unmet.push_back(paths_[i]);
    return unmet;
}

// ---------------------------------------------------------------- the printer

DiffPrinter::DiffPrinter(const DiffOptions& options, std::set<std::string> unreadable, const CompareRules& rules)
    : options_(options),
      unreadable_(std::move(unreadable)),
      filter_(options.paths),
      comparer_(rules),
      progress_("compared")
{
    fileSystems_[0].insert(rules.before.fileSystems.begin(), rules.before.fileSystems.end());
    fileSystems_[1].insert(rules.after.fileSystems.begin(), rules.after.fileSystems.end());
}

void DiffPrinter::SetNewFileSystems(const std::vector<std::pair<uint64_t, std::string>>& fileSystems)
{
    fileSystems_[1] = MoveFinder::FileSystemMap(fileSystems.begin(), fileSystems.end());
}

DiffPrinter::~DiffPrinter() = default;

bool DiffPrinter::IsAborted()
{
    progress_.Update(steps_, folder_);
    return g_interrupted.load();
}

CKoError DiffPrinter::OnFolderInIndex1(const string& folderName, const string& metadata)
{
    folder_ = folderName;
    NoteUnreadable(folderName, metadata);
    return OneSided(true, true, folderName, metadata);
}

CKoError DiffPrinter::OnFolderInIndex2(const string& folderName, const string& metadata)
{
    folder_ = folderName;
    NoteUnreadable(folderName, metadata);
    return OneSided(false, true, folderName, metadata);
}

CKoError DiffPrinter::OnFolderInBothIndexes(const string& folderName, const string& metadata1,
                                            const string& metadata2)
{
    folder_ = folderName;
    NoteUnreadable(folderName, metadata1);
    NoteUnreadable(folderName, metadata2);
    InBoth(true, folderName, metadata1, metadata2);
    return spoolError_;
}

CKoError DiffPrinter::OnFileInIndex1(const string& filePath, const string&, const string&, const string& metadata)
{
    return OneSided(true, false, filePath, metadata);
}

CKoError DiffPrinter::OnFileInIndex2(const string& filePath, const string&, const string&, const string& metadata)
{
    return OneSided(false, false, filePath, metadata);
}

CKoError DiffPrinter::OnFileInBothIndexes(const string& filePath, const string&, const string&,
                                          const string& metadata1, const string& metadata2)
{
    InBoth(false, filePath, metadata1, metadata2);
    return spoolError_;
}

void DiffPrinter::NoteUnreadable(const std::string& folderName, const std::string& metadata)
{
    if (HasKey(metadata, "Unreadable"))
        unreadable_.insert(folderName);
}

bool DiffPrinter::BelowUnreadable(const std::string& path, bool folder) const
{
    if (unreadable_.empty())
        return false;
    const size_t end = folder ? path.size() - 1 : path.size();
    for (size_t slash = path.find('/'); slash != std::string::npos && slash < end;
         slash = path.find('/', slash + 1))
        if (unreadable_.count(path.substr(0, slash + 1)) != 0)
            return true;
    return false;
}

unsigned long long DiffPrinter::Total() const
{
    unsigned long long total = 0;
    for (const auto& change : counts)
        total += change[0] + change[1];
    return total;
}

void DiffPrinter::InBoth(bool folder, const std::string& path, const std::string& before, const std::string& after)
{
    ++steps_;
    if (!filter_.Wanted(path))
        return;
    // What could not be read on either side may have changed unseen.
    changes_.clear();
    const bool same = before == after;
    if (HasKey(before, "Unreadable") || (!same && HasKey(after, "Unreadable")) || BelowUnreadable(path, folder)) {
        comparer_.Compare(path, before, after, folder, false, changes_);
        Report(kUnknown, folder, path, &before, &after, nullptr);
        return;
    }
    if (!same && comparer_.Compare(path, before, after, folder, false, changes_))
        Report(kModified, folder, path, &before, &after, nullptr);
}

CKoError DiffPrinter::OneSided(bool deleted, bool folder, const std::string& path, const std::string& metadata)
{
    ++steps_;
    const std::string* before = deleted ? &metadata : nullptr;
    const std::string* after = deleted ? nullptr : &metadata;
    changes_.clear();
    if (BelowUnreadable(path, folder)) {
        if (filter_.Wanted(path))
            Report(kUnknown, folder, path, before, after, nullptr);
        return spoolError_;
    }
    if (!options_.renames) {
        if (filter_.Wanted(path))
            Report(deleted ? kDeleted : kAdded, folder, path, before, after, nullptr);
        return spoolError_;
    }
    // Kept whether wanted or not: a move may bring it into the filter.
    uint32_t index = 0;
    if (!moves_.Add(deleted, folder, path, metadata, index))
        return TemporaryFileError(FX_LOCATION);
    filter_.Wanted(path);  // an entry at a filter's path was met, whatever it turns out to be
    if (options_.stat)
        return CKoError::Success();
    char slot[16];
    std::snprintf(slot, sizeof slot, "%c%u\n", kSlot, static_cast<unsigned>(index));
    return Keep(slot);
}

CKoError DiffPrinter::TemporaryFileError(const FXCodeLocation& location)
{
    return FXErrorUtil::ErrorWin32(location, KO_ERROR_STORAGE_UNAVAILABLE, "temporary file in %s: %s",
                                   TemporaryFolder().c_str(), std::strerror(errno));
}

CKoError DiffPrinter::Keep(const std::string& text)
{
    if (spoolError_.IsError())
        return spoolError_;
    if (!spool_) {
        spool_ = TemporaryFile();
        if (!spool_)
            return spoolError_ = TemporaryFileError(FX_LOCATION);
    }
    if (std::fwrite(text.data(), 1, text.size(), spool_.get()) != text.size())
        spoolError_ = TemporaryFileError(FX_LOCATION);
    return spoolError_;
}

CKoError DiffPrinter::Finish(ReportOutput& output)
{
    progress_.Clear();
    if (spoolError_.IsError())
        return spoolError_;
    if (!moves_.Empty() && !moves_.Resolve(fileSystems_[0], fileSystems_[1]))
        return TemporaryFileError(FX_LOCATION);
    output_ = &output;  // from here on, lines go out
    if (!spool_) {  // --stat, or nothing to report: entries were only counted
        for (size_t i = 0; i < moves_.Size(); ++i) {
            const CKoError error = Settle(i);
            if (error.IsError())
                return error;
        }
        return CKoError::Success();
    }
    FILE* const spool = spool_.get();
    if (std::fflush(spool) != 0 || std::ferror(spool) || std::fseek(spool, 0, SEEK_SET) != 0)
        return TemporaryFileError(FX_LOCATION);
    struct LineBuffer {
        char* text = nullptr;
        size_t capacity = 0;
        ~LineBuffer() { std::free(text); }
    } line;
    CKoError error;
    while (!error.IsError() && getline(&line.text, &line.capacity, spool) > 0) {
        if (line.text[0] == kSlot)
            error = Settle(std::strtoul(line.text + 1, nullptr, 10));
        else
            output.Line(line.text);
    }
    if (error.IsError())
        return error;
    if (std::ferror(spool))
        return TemporaryFileError(FX_LOCATION);
    return CKoError::Success();
}

CKoError DiffPrinter::Settle(size_t index)
{
    const OneSidedEntry& entry = moves_[index];
    if (entry.deleted && entry.partner != OneSidedEntry::kNone)
        return CKoError::Success();  // shown with its partner
    if (!moves_.Read(index, path_, metadata_))
        return TemporaryFileError(FX_LOCATION);
    changes_.clear();
    if (entry.partner == OneSidedEntry::kNone) {
        if (filter_.Wanted(path_))
            Report(entry.deleted ? kDeleted : kAdded, entry.folder, path_, entry.deleted ? &metadata_ : nullptr,
                   entry.deleted ? nullptr : &metadata_, nullptr);
        return CKoError::Success();
    }
    if (!moves_.Read(entry.partner, oldPath_, oldMetadata_))
        return TemporaryFileError(FX_LOCATION);
    if (entry.movedAlong) {
        if (filter_.Wanted(path_) && comparer_.Compare(path_, oldMetadata_, metadata_, entry.folder, false, changes_))
            Report(kModified, entry.folder, path_, &oldMetadata_, &metadata_, nullptr);
    } else if (filter_.Wanted(path_) || filter_.Wanted(oldPath_)) {
        comparer_.Compare(path_, oldMetadata_, metadata_, entry.folder, true, changes_);
        Report(kMoved, entry.folder, path_, &oldMetadata_, &metadata_, &oldPath_);
    }
    return CKoError::Success();
}

bool DiffPrinter::Collapsed(Change change, bool folder, const std::string& path)
{
    if (!options_.collapse || (change != kAdded && change != kDeleted))
        return false;
    // Lines come in tree order: a folder reported as a whole comes before
    // everything below it, and what is below it follows without a break.
    std::vector<std::string>& folders = collapsed_[change == kAdded ? 0 : 1];
    while (!folders.empty() && !FXPath::IsDescendantOf(path, folders.back(), false))
        folders.pop_back();
    if (!folders.empty())
        return true;
    if (folder)
        folders.push_back(path);
    return false;
}

void DiffPrinter::Report(Change change, bool folder, const std::string& path, const std::string* before,
                         const std::string* after, const std::string* oldPath)
{
    if (Collapsed(change, folder, path))
        return;
    ++counts[change][folder ? 0 : 1];
    if (options_.stat)
        return;
    Format(change, folder, path, before, after, oldPath);
    if (output_ != nullptr)
        output_->Line(line_);
    else
        (void)Keep(line_);  // a failure is answered at the next event
}

std::string DiffPrinter::Shown(const std::string& path) const
{
    if (!options_.copy || path.compare(0, options_.oldRoot.size(), options_.oldRoot) != 0)
        return path;
    const std::string below = path.substr(options_.oldRoot.size());
    return below.empty() ? "./" : below;
}

void DiffPrinter::Format(Change change, bool folder, const std::string& path, const std::string* before,
                         const std::string* after, const std::string* oldPath)
{
    line_.clear();
    const std::string shown = Shown(path);
    const std::string shownOld = oldPath != nullptr ? Shown(*oldPath) : std::string();
    if (!options_.json) {
        line_ += kLetters[change];
        line_ += ' ';
        if (oldPath != nullptr) {
            line_ += EscapeField(shownOld, false);
            line_ += " -> ";
        }
        line_ += EscapeField(shown, false);
        line_ += TextChanges(changes_);
        line_ += '\n';
        return;
    }
    line_ += "{\"version\":1,";
    line_ += JsonMember("path", &shown);
    line_ += folder ? ",\"kind\":\"folder\",\"change\":\"" : ",\"kind\":\"file\",\"change\":\"";
    line_ += kWords[change];
    line_ += "\",";
    line_ += TypeMember(after != nullptr ? *after : *before);
    if (oldPath != nullptr) {
        line_ += ',';
        line_ += JsonMember("old_path", &shownOld);
    }
    line_ += ',';
    line_ += JsonChanges(changes_);
    line_ += ',';
    line_ += JsonMember("old", before);
    line_ += ',';
    line_ += JsonMember("new", after);
    if (options_.copy) {
        // Where the entry is in each tree.
        const std::string oldFull = oldPath != nullptr ? *oldPath : path;
        const std::string newFull = options_.newRoot + path.substr(std::min(path.size(), options_.oldRoot.size()));
        line_ += ',';
        line_ += JsonMember("old_full_path", &oldFull);
        line_ += ',';
        line_ += JsonMember("new_full_path", &newFull);
    }
    line_ += "}\n";
}

std::string DiffPrinter::TypeMember(const std::string& metadata)
{
    const std::string* type =
        CX::CAttributeSet::Parse(metadata, attributes_) ? FindAttribute(attributes_, "Type") : nullptr;
    return JsonMember("type", type);
}

void PrintCounts(FILE* out, const DiffPrinter& printer, bool json)
{
    if (json) {
        std::string line = "{\"version\":1";
        for (int change = kAdded; change <= kUnknown; ++change) {
            char part[96];
            std::snprintf(part, sizeof part, ",\"%s\":{\"folders\":%llu,\"files\":%llu}", kWords[change],
                          printer.counts[change][0], printer.counts[change][1]);
            line += part;
        }
        Print(out, "%s}\n", line.c_str());
        return;
    }
    for (int change = kAdded; change <= kUnknown; ++change)
        Print(out, "%-9s %llu folders, %llu files\n", kWords[change], printer.counts[change][0],
              printer.counts[change][1]);
}

}  // namespace cxcli
