// The report of one comparison as it goes: a line per change in tree order
// (text, JSON or counts), moves found among the entries that only one side
// has, and what each side could not read.
#pragma once

#include "AttributeSet.h"
#include "CompareContentContainersCallback.h"
#include "Diff.h"
#include "DiffAttributes.h"
#include "DiffMoves.h"
#include "Progress.h"
#include "ReportOutput.h"
#include "UniqueFd.h"

#include <cstdio>
#include <set>
#include <string>
#include <vector>

namespace cxcli {

enum Change { kAdded, kDeleted, kModified, kMoved, kUnknown };

// A path filter: the subtrees a report is limited to. It remembers which of
// its paths met an entry.
class PathFilter {
public:
    explicit PathFilter(const std::vector<std::string>& paths) : paths_(paths), met_(paths.size(), false) {}

    // Whether `path` (a folder's ending with "/") is one of the paths or lies
    // below one.
    bool Wanted(const std::string& path);
    // The paths no entry of either side was at or below.
    std::vector<std::string> Unmet() const;

private:
    std::vector<std::string> paths_;  // absolute, without a trailing "/" but for the root
    std::vector<bool> met_;
};

// Collects the report as the comparison goes. Nothing goes out before the
// end: each line waits in an unnamed temporary file, an entry that only one
// side has (a later entry may be the same file, moved) as a slot, and Finish
// settles the slots and sends the lines on, in tree order, a move standing
// where its new path is. So a run whose containers changed meanwhile can be
// dropped and made again.
class DiffPrinter : public CX::CCompareContentContainersCallback {
public:
    DiffPrinter(const DiffOptions& options, std::set<std::string> unreadable, const CompareRules& rules);
    ~DiffPrinter() override;

    // Shows progress; Ctrl-C ends the comparison.
    bool IsAborted() override;

    CKoError OnFolderInIndex1(const string& folderName, const string& metadata) override;
    CKoError OnFolderInIndex2(const string& folderName, const string& metadata) override;
    CKoError OnFolderInBothIndexes(const string& folderName, const string& metadata1,
                                   const string& metadata2) override;
    CKoError OnFileInIndex1(const string& filePath, const string&, const string&, const string& metadata) override;
    CKoError OnFileInIndex2(const string& filePath, const string&, const string&, const string& metadata) override;
    CKoError OnFileInBothIndexes(const string& filePath, const string&, const string&, const string& metadata1,
                                 const string& metadata2) override;

    // The identities of the new side's file systems, when they are known
    // only once the comparison has run (a walk of a live tree).
    void SetNewFileSystems(const std::vector<std::pair<uint64_t, std::string>>& fileSystems);
    // Settles the entries kept back and sends every line to `output`.
    CKoError Finish(ReportOutput& output);

    ReportCounts counts = {};  // [change][folder, file]
    const std::set<std::string>& NotCompared() const { return comparer_.notCompared; }
    unsigned long long Total() const;
    std::vector<std::string> UnmetPaths() const { return filter_.Unmet(); }

private:
    static constexpr char kSlot = '\x01';  // never starts a report line: those are escaped

    void InBoth(bool folder, const std::string& path, const std::string& before, const std::string& after);
    CKoError OneSided(bool deleted, bool folder, const std::string& path, const std::string& metadata);
    static CKoError TemporaryFileError(const FXCodeLocation& location);
    // Writes a line or a slot to the temporary file.
    CKoError Keep(const std::string& text);
    // What a kept entry turns out to be, reported where it stands.
    CKoError Settle(size_t index);
    // A folder whose metadata says it could not be read on one side: what
    // lies below it is unknown.
    void NoteUnreadable(const std::string& folderName, const std::string& metadata);
    // Whether `path` lies below a folder one of the snapshots could not read.
    bool BelowUnreadable(const std::string& path, bool folder) const;
    // Whether an added or deleted entry lies below a folder that one line
    // reported as such (--collapse-folders); a folder so reported is noted.
    bool Collapsed(Change change, bool folder, const std::string& path);

    // One report line; the attributes that changed are in changes_.
    void Report(Change change, bool folder, const std::string& path, const std::string* before,
                const std::string* after, const std::string* oldPath);
    // The line itself.
    void Format(Change change, bool folder, const std::string& path, const std::string* before,
                const std::string* after, const std::string* oldPath);
    // A path as lines name it: below the roots in a comparison of a copy.
    std::string Shown(const std::string& path) const;
    // "type":"file", from the entry's metadata; null when it records none.
    std::string TypeMember(const std::string& metadata);

    const DiffOptions& options_;
    std::set<std::string> unreadable_;  // folders one side could not read
    PathFilter filter_;
    AttributeComparer comparer_;
    MoveFinder moves_;
    MoveFinder::FileSystemMap fileSystems_[2];  // before, after
    FX::UniqueFile spool_;
    CKoError spoolError_;
    ReportOutput* output_ = nullptr;  // while Finish sends lines on
    Progress progress_;
    unsigned long long steps_ = 0;
    std::string folder_;
    std::vector<std::string> collapsed_[2];  // folders reported added, deleted (deepest last)
    std::vector<AttributeChange> changes_;
    std::vector<CX::SAttribute> attributes_;
    std::string line_;
    std::string path_;
    std::string metadata_;
    std::string oldPath_;
    std::string oldMetadata_;
};

// The counts of a report, as --stat prints them.
void PrintCounts(FILE* out, const DiffPrinter& printer, bool json);

}  // namespace cxcli
