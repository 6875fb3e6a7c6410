// The report of a comparison (cx diff, cx check) around its printer
// (DiffPrinter.h): what each snapshot says of itself, the --ignore names,
// and the run that makes sure the report describes one state of each
// container.
#pragma once

#include "AttributeSet.h"
#include "ContentContainerDatabase.h"
#include "Diff.h"
#include "DiffPrinter.h"
#include "FileIdentity.h"

#include <boost/shared_ptr.hpp>

#include <functional>
#include <set>
#include <string>

namespace cxcli {

// What a snapshot says about itself beyond its rows.
struct SnapshotFacts {
    std::string origin;
    std::string state;
    std::string problems;
    std::set<std::string> unreadableFolders;
    CX::SRecordedAttributes recorded;
    CX::CPathPolicy policy;  // what it says matters, path by path
};

CKoError ReadFacts(CX::CContentContainerDatabase& db, SnapshotFacts& facts);
// The origin a snapshot records, as a folder path ending with "/"; empty
// (after a reported failure) when it records none.
std::string RecordedOrigin(CX::CContentContainerDatabase& db, const std::string& container);
// A warning on standard error when the snapshot is not complete.
void WarnIfNotComplete(const std::string& container, const SnapshotFacts& facts);


// One side of a report: what messages call it, and what it says of itself.
// `container`: the file to make sure of (empty for a live tree); `sealed`:
// its identity when its seal was verified, which it must keep.
struct ReportSide {
    std::string label;
    SnapshotFacts facts;
    std::string container;
    const FileIdentity* sealed = nullptr;
};

// Runs `compare` into a printer of the report and ends the report: the
// entries kept back, the counts, the notes, the summary. A container that
// changed while it was read makes the run start again, a few times, and
// then ends it with exit status 2: a report describes one state of each. The
// exit status.
int RunReport(const DiffOptions& options, const ReportSide& before, const ReportSide& after,
              const std::function<CKoError(const boost::shared_ptr<DiffPrinter>& printer)>& compare);

// Refuses (false, after one line) a --ignore name that no side records.
bool CheckIgnoredNames(const DiffOptions& options, const ReportSide& before, const ReportSide& after);

}  // namespace cxcli
