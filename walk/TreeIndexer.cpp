#include "TreeIndexer.h"

#include "ExcludeRulesPrivate.h"
#include "FXPath.h"
#include "ResolveFolder.h"
#include "TreeIndexerPrivate.h"
#include "TreeWalker.h"
#include "TreeWriter.h"

#include <boost/make_shared.hpp>

#include <fcntl.h>
#include <sys/stat.h>

#include <mutex>

namespace CX {

namespace {

// The walk's report to the host's callback: warnings one at a time, progress
// and cancel on the writing thread.
class Report : public walk::WalkReport {
public:
    Report(CTreeIndexerCallback* callback, const walk::TreeWriter& writer) : callback_(callback), writer_(writer) {}

    void Warning(const std::string& path, const char* what, const char* cause, bool problem) override
    {
        if (callback_ == nullptr)
            return;
        std::lock_guard<std::mutex> lock(mutex_);
        callback_->OnWarning(path, what, cause, problem);
    }

    bool Poll() override
    {
        if (callback_ == nullptr)
            return false;
        callback_->OnProgress(writer_.Folders() + writer_.Files(), writer_.FolderPath());
        return callback_->IsAborted();
    }

private:
    CTreeIndexerCallback* const callback_;
    const walk::TreeWriter& writer_;
    std::mutex mutex_;
};

}  // namespace

CTreeIndexerCallback::CTreeIndexerCallback() : CAbortOperationCheck() {}

CTreeIndexerCallback::~CTreeIndexerCallback() {}

void CTreeIndexerCallback::OnProgress(uint64_t, const string&) {}

void CTreeIndexerCallback::OnWarning(const string&, const string&, const string&, bool) {}

CTreeIndexer::CTreeIndexer() : d(boost::make_shared<CTreeIndexerPrivate>()) {}

CTreeIndexer::~CTreeIndexer() {}

void CTreeIndexer::SetSettings(const SIndexSettings& settings)
{
    d->settings = settings;
}

const SIndexSettings& CTreeIndexer::GetSettings() const
{
    return d->settings;
}

void CTreeIndexer::SetExcludes(const CExcludeRules& rules)
{
    d->settings.excludes = rules;
}

void CTreeIndexer::SetCollects(const std::vector<std::string>& patterns)
{
    d->settings.collects = patterns;
}

void CTreeIndexer::SetChecksum(bool checksum)
{
    d->settings.checksum = checksum ? EChecksum::XXH128 : EChecksum::None;
}

void CTreeIndexer::SetOneFileSystem(bool oneFileSystem)
{
    d->settings.oneFileSystem = oneFileSystem;
}

void CTreeIndexer::SetUpdate(bool update)
{
    d->update = update;
}

void CTreeIndexer::SetOwnFiles(uint64_t folderDevice, uint64_t folderInode, const std::vector<std::string>& names)
{
    d->own = std::make_unique<walk::OwnFiles>(static_cast<dev_t>(folderDevice), static_cast<ino_t>(folderInode),
                                              names);
}

void CTreeIndexer::SetCallback(const CTreeIndexerCallbackPtr& callback)
{
    d->callback = callback;
}

CKoError CTreeIndexer::Index(CContentContainerDatabase& db, const string& directory, STreeIndexerCounts& counts)
{
    counts = STreeIndexerCounts();
    std::string resolved;
    struct stat rootStatus {};
    const int failure = FX::ResolveFolder(directory, resolved, rootStatus);
    if (failure == ENOTDIR)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_PARAMETER, "%s: not a directory",
                                       resolved.empty() ? directory.c_str() : resolved.c_str());
    if (failure != 0)
        return FXErrorUtil::ErrorErrno(FX_LOCATION, failure, "%s", directory.c_str());
    std::string root = resolved;
    FXPath::AppendTrailingDelimiter(root);
    walk::EntryStatus rootEntry;
    if (!walk::StatAt(AT_FDCWD, resolved.c_str(), rootEntry))
        return FXErrorUtil::ErrorErrno(FX_LOCATION, errno, "%s", resolved.c_str());

    // An update brings the rows of the same tree up to date: those of another
    // would stay beside the new ones, a snapshot of neither.
    std::string origin;
    if (d->update && !db.GetValue("Origin", origin).IsError() && !origin.empty() && origin != resolved)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_PARAMETER,
                                       "the container holds a snapshot of %s, not of %s", origin.c_str(),
                                       resolved.c_str());

    // The settings go with the rows, so that a later walk of the tree to
    // compare with them can be made the same way.
    CKoError error = db.SetValue("Origin", resolved);
    if (!error.IsError())
        error = db.SetValue("SnapshotState", "incomplete");
    if (!error.IsError())
        error = WriteIndexSettings(db, d->settings);
    if (error.IsError())
        return error.Push(FX_LOCATION, "cannot write the snapshot's properties");

    static const walk::OwnFiles kNone(0, 0, {});
    walk::TreeWriter writer(db, CTimeStamp::Now(), d->update);
    Report report(d->callback.get(), writer);
    walk::WalkOutcome outcome;
    error = writer.Begin(root);
    walk::WalkOptions options;
    options.excludes = CExcludeRulesPrivate::Of(d->settings.excludes);
    options.root = root;  // what the exclude rules' paths are relative to
    options.collects = d->settings.collects;
    options.checksum = d->settings.checksum;
    options.oneFileSystem = d->settings.oneFileSystem;
    options.xattrs = d->settings.xattrs;
    if (!error.IsError())
        error = walk::Walk(options, d->own ? *d->own : kNone, root, rootEntry, writer, report, outcome);
    counts.folders = writer.Folders();
    counts.files = writer.Files();
    counts.warnings = outcome.warnings;
    counts.problems = outcome.problems;
    if (error.IsError())
        return error.Push(FX_LOCATION);
    // A cancel asked for as the walk ended still leaves the run incomplete.
    const bool stopped = outcome.stopped || report.Poll();
    error = writer.Finish(!stopped);
    if (error.IsError())
        return error.Push(FX_LOCATION);
    if (stopped)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_OPERATION_ABORTED);
    // What could not be read leaves the snapshot partial, as the entries
    // marked Unreadable say.
    error = db.SetValue("SnapshotState", outcome.problems == 0 ? "complete" : "partial");
    if (!error.IsError())
        error = db.SetValue("SnapshotProblems", std::to_string(outcome.problems));
    if (error.IsError())
        return error.Push(FX_LOCATION, "cannot write the snapshot's properties");
    return error;
}

}  // namespace CX
