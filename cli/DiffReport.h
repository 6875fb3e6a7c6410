// The report of a comparison: a line per change, in tree order, as the
// comparison goes (text, JSON or counts), moves found among the entries that
// only one side has, and what each snapshot says of itself.
#pragma once

#include "AttributeSet.h"
#include "CompareContentContainersCallback.h"
#include "ContentContainerDatabase.h"
#include "Diff.h"
#include "DiffAttributes.h"
#include "DiffMoves.h"
#include "Progress.h"
#include "UniqueFd.h"

#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace cxcli {

enum Change { kAdded, kDeleted, kModified, kMoved, kUnknown };

// What a snapshot says about itself beyond its rows.
struct SnapshotFacts {
    std::string origin;
    std::string state;
    std::string problems;
    std::set<std::string> unreadableFolders;
    CX::SRecordedAttributes recorded;
};

CKoError ReadFacts(CX::CContentContainerDatabase& db, SnapshotFacts& facts);
// The origin a snapshot records, as a folder path ending with "/"; empty
// (after a reported failure) when it records none.
std::string RecordedOrigin(CX::CContentContainerDatabase& db, const std::string& container);
// A warning on standard error when the snapshot is not complete.
void WarnIfNotComplete(const std::string& container, const SnapshotFacts& facts);

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
    DiffPrinter(FILE* out, const DiffOptions& options, std::set<std::string> unreadable, const CompareRules& rules);
    ~DiffPrinter() override;

    // A write error ends the comparison: nothing more could be reported.
    bool IsAborted() override;

    CKoError OnFolderInIndex1(const string& folderName, const string& metadata) override;
    CKoError OnFolderInIndex2(const string& folderName, const string& metadata) override;
    CKoError OnFolderInBothIndexes(const string& folderName, const string& metadata1,
                                   const string& metadata2) override;
    CKoError OnFileInIndex1(const string& filePath, const string&, const string&, const string& metadata) override;
    CKoError OnFileInIndex2(const string& filePath, const string&, const string&, const string& metadata) override;
    CKoError OnFileInBothIndexes(const string& filePath, const string&, const string&, const string& metadata1,
                                 const string& metadata2) override;

    // Settles the entries kept back and prints what the temporary file holds.
    CKoError Finish();

    unsigned long long counts[5][2] = {};  // [change][folder, file]

    const std::set<std::string>& NotCompared() const { return comparer_.notCompared; }

    unsigned long long Total() const;

private:
    static constexpr char kSlot = '\x01';  // never starts a report line: those are escaped

    void InBoth(bool folder, const std::string& path, const std::string& before, const std::string& after);

    CKoError OneSided(bool deleted, bool folder, const std::string& path, const std::string& metadata);

    static CKoError TemporaryFileError(const FXCodeLocation& location);

    // What a kept entry turns out to be, reported where it stands.
    CKoError Settle(size_t index);

    // A folder whose metadata says it could not be read on one side: what
    // lies below it is unknown.
    void NoteUnreadable(const std::string& folderName, const std::string& metadata);
    // Whether `path` lies below a folder one of the snapshots could not read.
    bool BelowUnreadable(const std::string& path, bool folder) const;

    // One report line; the attributes that changed are in changes_.
    void Report(Change change, bool folder, const std::string& path, const std::string* before,
                const std::string* after, const std::string* oldPath);

    // "type":"file", from the entry's metadata; null when it records none.
    std::string TypeMember(const std::string& metadata);

    FILE* out_;
    const bool outIsTerminal_;
    const DiffOptions& options_;
    std::set<std::string> unreadable_;  // folders one side could not read
    const PathFilter filter_;
    AttributeComparer comparer_;
    MoveFinder moves_;
    FX::UniqueFile spool_;  // the report from the first entry kept back on
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

// The counts of a report, as --stat prints them.
void PrintCounts(FILE* out, const DiffPrinter& printer, bool json);

// One side of a report: what messages call it, and what it says of itself.
struct ReportSide {
    std::string label;
    SnapshotFacts facts;
};

// Runs `compare` into a printer of the report and ends the report: the
// entries kept back, the counts, the notes. The exit status.
int RunReport(const DiffOptions& options, const ReportSide& before, const ReportSide& after,
              const std::function<CKoError(const boost::shared_ptr<DiffPrinter>& printer)>& compare);

}  // namespace cxcli
