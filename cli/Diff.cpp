// cx diff: what changed between two snapshots, in tree order.
//
// Metadata is compared attribute by attribute: an attribute that only one
// snapshot recorded (a digest taken with --checksum on one side only) is not a
// change, and one note on standard error names such attributes. Entries below
// a folder that either snapshot could not read are reported as unknown ("?"),
// not as added or deleted. A snapshot that is not complete is named in a
// warning on standard error first.
#include "Cli.h"

#include "AttributeSet.h"
#include "Bag.h"
#include "CompareContentContainers.h"
#include "CompareContentContainersCallback.h"
#include "ContentContainerDatabase.h"
#include "DiffAttributes.h"
#include "DiffMoves.h"

#include <boost/make_shared.hpp>

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>

namespace cxcli {

namespace {

enum Change { kAdded, kDeleted, kModified, kMoved, kUnknown };
const char kLetters[] = {'A', 'D', 'M', 'R', '?'};
const char* const kWords[] = {"added", "deleted", "modified", "moved", "unknown"};

// What a snapshot says about itself beyond its rows.
struct SnapshotFacts {
    std::string origin;
    std::string state;
    std::string problems;
    std::set<std::string> unreadableFolders;
};

CKoError ReadFacts(CX::CContentContainerDatabase& db, SnapshotFacts& facts)
{
    db.GetValue("Origin", facts.origin);  // absent values stay empty
    db.GetValue("SnapshotState", facts.state);
    db.GetValue("SnapshotProblems", facts.problems);
    FX::CSQLite3QueryPtr query;
    CKoError error = db.Query("SELECT FolderName, Metadata FROM Folders WHERE Metadata LIKE '%Unreadable=\"%';", query);
    if (error.IsError())
        return error;
    try {
        std::vector<CX::SAttribute> attributes;
        for (; !query->Eof(); query->NextRow()) {
            if (!CX::CAttributeSet::Parse(query->GetStringField(1, ""), attributes))
                continue;
            for (const auto& attribute : attributes)
                if (attribute.key == "Unreadable")
                    facts.unreadableFolders.insert(query->GetStringField(0, ""));
        }
    } catch (const FX::CSQLite3Exception& exception) {
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_DATA, "%s", exception.what());
    }
    return CKoError::Success();
}

void WarnIfNotComplete(const std::string& container, const SnapshotFacts& facts)
{
    if (facts.state == "complete")
        return;
    std::string what;
    if (facts.state.empty())
        what = "records no state";
    else if (facts.state == "incomplete")
        what = "is incomplete (its indexing was interrupted)";
    else if (facts.state == "partial")
        what = "is partial (" + (facts.problems.empty() ? std::string("some") : facts.problems) +
               " folders or files could not be read)";
    else
        what = "is in state \"" + facts.state + "\"";
    std::fprintf(stderr, "cx: warning: %s: the snapshot %s\n", EscapeLine(container).c_str(), EscapeLine(what).c_str());
}

// A path filter: the subtrees cx diff OLD NEW PATH... reports.
class PathFilter {
public:
    explicit PathFilter(const std::vector<std::string>& paths) : paths_(paths) {}

    // Whether `path` (a folder's ending with "/") is one of the paths or lies
    // below one.
    bool Wanted(const std::string& path) const
    {
        if (paths_.empty())
            return true;
        for (const auto& root : paths_)
            if (root == "/" || (path.compare(0, root.size(), root) == 0 &&
                                (path.size() == root.size() || path[root.size()] == '/')))
                return true;
        return false;
    }

private:
    std::vector<std::string> paths_;  // absolute, without a trailing "/" but for the root
};

// Prints the report as the comparison goes. With moves looked for, an entry
// that only one snapshot has cannot be printed before the end (a later entry
// may be the same file); from the first such entry on, the report goes to an
// unnamed temporary file, the entry standing there as a slot, and is copied
// out at the end with each slot settled. So the report stays in tree order,
// a move standing where its new path is.
class DiffPrinter : public CX::CCompareContentContainersCallback {
public:
    DiffPrinter(FILE* out, const DiffOptions& options, std::set<std::string> unreadable)
        : out_(out),
          outIsTerminal_(isatty(fileno(out)) != 0),
          options_(options),
          unreadable_(std::move(unreadable)),
          filter_(options.paths),
          comparer_(options.ignored, options.folderMTime),
          progress_("compared")
    {
    }
    ~DiffPrinter() override
    {
        if (spool_ != nullptr)
            std::fclose(spool_);
    }

    // A write error ends the comparison: nothing more could be reported.
    bool IsAborted() override
    {
        progress_.Update(steps_, folder_);
        return g_interrupted.load() || std::ferror(out_) || (spool_ != nullptr && std::ferror(spool_));
    }

    CKoError OnFolderInIndex1(const string& folderName, const string& metadata) override
    {
        folder_ = folderName;
        return OneSided(true, true, folderName, metadata);
    }
    CKoError OnFolderInIndex2(const string& folderName, const string& metadata) override
    {
        folder_ = folderName;
        return OneSided(false, true, folderName, metadata);
    }
    CKoError OnFolderInBothIndexes(const string& folderName, const string& metadata1,
                                   const string& metadata2) override
    {
        folder_ = folderName;
        InBoth(true, folderName, metadata1, metadata2);
        return CKoError::Success();
    }
    CKoError OnFileInIndex1(const string& filePath, const string&, const string&, const string& metadata) override
    {
        return OneSided(true, false, filePath, metadata);
    }
    CKoError OnFileInIndex2(const string& filePath, const string&, const string&, const string& metadata) override
    {
        return OneSided(false, false, filePath, metadata);
    }
    CKoError OnFileInBothIndexes(const string& filePath, const string&, const string&, const string& metadata1,
                                 const string& metadata2) override
    {
        InBoth(false, filePath, metadata1, metadata2);
        return CKoError::Success();
    }

    // Settles the entries kept back and prints what the temporary file holds.
    CKoError Finish()
    {
        progress_.Clear();
        if (spool_ != nullptr && std::ferror(spool_)) {
            errno = EIO;
            return TemporaryFileError(FX_LOCATION);
        }
        if (moves_.Empty())
            return CKoError::Success();
        if (!moves_.Resolve())
            return TemporaryFileError(FX_LOCATION);
        FILE* const spool = spool_;
        spool_ = nullptr;  // from here on, lines go out
        if (spool == nullptr) {  // --stat: nothing was written, only counted
            for (size_t i = 0; i < moves_.Size(); ++i) {
                const CKoError error = Settle(i);
                if (error.IsError())
                    return error;
            }
            return CKoError::Success();
        }
        std::unique_ptr<FILE, int (*)(FILE*)> closer(spool, &std::fclose);
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
                Print(out_, "%s", line.text);
        }
        if (error.IsError())
            return error;
        if (std::ferror(spool))
            return TemporaryFileError(FX_LOCATION);
        return CKoError::Success();
    }

    unsigned long long counts[5][2] = {};  // [change][folder, file]

    const std::set<std::string>& NotCompared() const { return comparer_.notCompared; }

    unsigned long long Total() const
    {
        unsigned long long total = 0;
        for (const auto& change : counts)
            total += change[0] + change[1];
        return total;
    }

private:
    static constexpr char kSlot = '\x01';  // never starts a report line: those are escaped

    void InBoth(bool folder, const std::string& path, const std::string& before, const std::string& after)
    {
        ++steps_;
        if (before != after && filter_.Wanted(path) && comparer_.Compare(before, after, folder, changes_))
            Report(BelowUnreadable(path, folder) ? kUnknown : kModified, folder, path, &before, &after, nullptr);
    }

    CKoError OneSided(bool deleted, bool folder, const std::string& path, const std::string& metadata)
    {
        ++steps_;
        const std::string* before = deleted ? &metadata : nullptr;
        const std::string* after = deleted ? nullptr : &metadata;
        changes_.clear();
        if (BelowUnreadable(path, folder)) {
            if (filter_.Wanted(path))
                Report(kUnknown, folder, path, before, after, nullptr);
            return CKoError::Success();
        }
        if (!options_.renames) {
            if (filter_.Wanted(path))
                Report(deleted ? kDeleted : kAdded, folder, path, before, after, nullptr);
            return CKoError::Success();
        }
        // Kept whether wanted or not: a move may bring it into the filter.
        uint32_t index = 0;
        if (!moves_.Add(deleted, folder, path, metadata, index))
            return TemporaryFileError(FX_LOCATION);
        if (options_.stat)
            return CKoError::Success();
        if (spool_ == nullptr) {
            std::fflush(out_);
            spool_ = std::tmpfile();
            if (spool_ == nullptr)
                return TemporaryFileError(FX_LOCATION);
        }
        std::fprintf(spool_, "%c%u\n", kSlot, static_cast<unsigned>(index));
        return CKoError::Success();
    }

    static CKoError TemporaryFileError(const FXCodeLocation& location)
    {
        return FXErrorUtil::ErrorWin32(location, KO_ERROR_STORAGE_UNAVAILABLE, "temporary file: %s",
                                       std::strerror(errno));
    }

    // What a kept entry turns out to be, reported where it stands.
    CKoError Settle(size_t index)
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
            if (filter_.Wanted(path_) && comparer_.Compare(oldMetadata_, metadata_, entry.folder, changes_))
                Report(kModified, entry.folder, path_, &oldMetadata_, &metadata_, nullptr);
        } else if (filter_.Wanted(path_) || filter_.Wanted(oldPath_)) {
            comparer_.Compare(oldMetadata_, metadata_, entry.folder, changes_);
            Report(kMoved, entry.folder, path_, &oldMetadata_, &metadata_, &oldPath_);
        }
        return CKoError::Success();
    }

    // Whether `path` lies below a folder one of the snapshots could not read.
    bool BelowUnreadable(const std::string& path, bool folder) const
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

    // One report line; the attributes that changed are in changes_.
    void Report(Change change, bool folder, const std::string& path, const std::string* before,
                const std::string* after, const std::string* oldPath)
    {
        ++counts[change][folder ? 0 : 1];
        if (options_.stat)
            return;
        line_.clear();
        if (options_.json) {
            line_ += '{';
            line_ += JsonMember("path", &path);
            line_ += folder ? ",\"kind\":\"folder\",\"change\":\"" : ",\"kind\":\"file\",\"change\":\"";
            line_ += kWords[change];
            line_ += "\",";
            line_ += TypeMember(after != nullptr ? *after : *before);
            if (oldPath != nullptr) {
                line_ += ',';
                line_ += JsonMember("old_path", oldPath);
            }
            if (change == kModified || change == kMoved) {
                line_ += ',';
                line_ += JsonChanges(changes_);
            }
            line_ += ',';
            line_ += JsonMember("old", before);
            line_ += ',';
            line_ += JsonMember("new", after);
            line_ += "}\n";
        } else {
            line_ += kLetters[change];
            line_ += ' ';
            if (oldPath != nullptr) {
                line_ += EscapeLine(*oldPath);
                line_ += " -> ";
            }
            line_ += EscapeLine(path);
            line_ += TextChanges(changes_);
            line_ += '\n';
        }
        if (spool_ != nullptr) {
            std::fwrite(line_.data(), 1, line_.size(), spool_);
            return;
        }
        if (outIsTerminal_)
            progress_.Clear();
        Print(out_, "%s", line_.c_str());
    }

    // "type":"file", from the entry's metadata; null when it records none.
    std::string TypeMember(const std::string& metadata)
    {
        const std::string* type =
            CX::CAttributeSet::Parse(metadata, attributes_) ? FindAttribute(attributes_, "Type") : nullptr;
        return JsonMember("type", type);
    }

    FILE* out_;
    const bool outIsTerminal_;
    const DiffOptions& options_;
    const std::set<std::string> unreadable_;
    const PathFilter filter_;
    AttributeComparer comparer_;
    MoveFinder moves_;
    FILE* spool_ = nullptr;
    Progress progress_;
    unsigned long long steps_ = 0;
    std::string folder_;
    std::vector<AttributeChange> changes_;
    std::vector<CX::SAttribute> attributes_;
    std::string line_;
    std::string path_;
    std::string metadata_;
    std::string oldPath_;
    std::string oldMetadata_;
};

void PrintCounts(FILE* out, const DiffPrinter& printer, bool json)
{
    if (json) {
        std::string line = "{";
        for (int change = kAdded; change <= kUnknown; ++change) {
            char part[96];
            std::snprintf(part, sizeof part, "%s\"%s\":{\"folders\":%llu,\"files\":%llu}", change ? "," : "",
                          kWords[change], printer.counts[change][0], printer.counts[change][1]);
            line += part;
        }
        Print(out, "%s}\n", line.c_str());
        return;
    }
    for (int change = kAdded; change <= kUnknown; ++change)
        Print(out, "%-9s %llu folders, %llu files\n", kWords[change], printer.counts[change][0],
              printer.counts[change][1]);
}

}  // namespace

int RunDiff(const DiffOptions& options)
{
    // Both sides must exist and be containers: the comparison would create a
    // missing current container, and a typo should not leave a file behind.
    if (!CheckContainer(options.oldContainer) || !CheckContainer(options.newContainer))
        return kTrouble;
    DiffOptions resolved = options;
    resolved.paths.clear();
    for (const auto& argument : options.paths) {
        std::string path;
        bool folderOnly = false;
        if (!AbsolutePath(argument, path, folderOnly))
            return kTrouble;
        resolved.paths.push_back(path);
    }
    std::set<std::string> unreadable;
    std::set<std::string> warned;  // a snapshot given twice is named once
    std::vector<std::string> origins;
    const std::string& newLabel = options.newLabel.empty() ? options.newContainer : options.newLabel;
    for (const auto* name : {&options.oldContainer, &options.newContainer}) {
        const std::string& label = name == &options.newContainer ? newLabel : *name;
        CX::CContentContainerDatabase probe(*name, true);
        if (probe.GetConstructionError().IsError())
            return Fail(label, Cause(probe.GetConstructionError()));
        SnapshotFacts facts;
        const CKoError error = ReadFacts(probe, facts);
        if (error.IsError())
            return Fail(label, Cause(error));
        if (warned.insert(label).second)
            WarnIfNotComplete(label, facts);
        unreadable.insert(facts.unreadableFolders.begin(), facts.unreadableFolders.end());
        origins.push_back(facts.origin);
    }

    ReportStream report;
    auto printer = boost::make_shared<DiffPrinter>(report.Out(), resolved, std::move(unreadable));
    CX::CCompareContentContainers comparison(options.newContainer, options.oldContainer, printer);
    auto bag = boost::make_shared<CBag>();
    bag->Set("RecurseDeletedFolders::CCC", options.recurseDeleted);
    if (options.checkPeriod > 0)
        bag->Set("AbortCheckPeriod::CCC", options.checkPeriod);
    comparison.SetConfigurationBag(bag);
    CKoError error = comparison.CompareDatabases();
    // What was kept back goes out after an interruption too, as far as the
    // comparison went.
    if (!error.IsError() || FXErrorUtil::IsWin32(error, KO_ERROR_OPERATION_ABORTED)) {
        const CKoError finished = printer->Finish();
        if (finished.IsError())
            error = finished;
    }
    if (options.stat)
        PrintCounts(report.Out(), *printer, options.json);
    const int written = FinishOutput(report.Out(), kClean);
    if (written != kClean)
        return written;
    if (!printer->NotCompared().empty()) {
        std::string keys;
        for (const auto& key : printer->NotCompared())
            keys += (keys.empty() ? "" : ", ") + key;
        std::fprintf(stderr, "cx: note: not compared, recorded in one snapshot only: %s\n", EscapeLine(keys).c_str());
    }
    // Every path differs then: most likely a copy compared with its original.
    if (!origins[0].empty() && !origins[1].empty() && origins[0] != origins[1])
        std::fprintf(stderr, "cx: note: the snapshots are of different folders (%s and %s); --relative compares "
                             "the paths below each\n",
                     EscapeLine(origins[0]).c_str(), EscapeLine(origins[1]).c_str());
    if (FXErrorUtil::IsWin32(error, KO_ERROR_OPERATION_ABORTED))
        return kInterrupted;
    if (error.IsError())
        return Fail(options.oldContainer + " vs " + newLabel, Cause(error));
    return printer->Total() == 0 ? kClean : kReported;
}

}  // namespace cxcli
