#include "TreeIndexer.h"

#include "ChecksumWarmUp.h"
#include "FileSystemsRecord.h"
#include "TreeIndexerPrivate.h"
#include "TreeWriter.h"
#include "WalkSetup.h"

#include <boost/make_shared.hpp>

namespace CX {

namespace {

// Runs `write` (the snapshot's properties) in one transaction of `db`, which
// commits only when every write in it succeeded.
template <typename Write>
CKoError InOneTransaction(CContentContainerDatabase& db, Write write)
{
    FX::CDatabaseTransaction transaction(&db, 0);
    CKoError error = transaction.GetBeginError();
    if (!error.IsError())
        error = write();
    if (!error.IsError())
        error = transaction.Commit();
    return error;
}

// The files the walk leaves out: those the host named, or none.
const walk::OwnFiles& OwnFilesOf(const CTreeIndexerPrivate& data)
{
    static const walk::OwnFiles kNone(0, 0, {});
    return data.own ? *data.own : kNone;
}

}  // namespace

CTreeIndexerCallback::CTreeIndexerCallback() : CAbortOperationCheck() {}

CTreeIndexerCallback::~CTreeIndexerCallback() {}

void CTreeIndexerCallback::OnProgress(uint64_t, const string&) {}

void CTreeIndexerCallback::OnWarning(const string&, const string&, const string&, bool) {}

CTreeIndexer::CTreeIndexer() : d(boost::make_shared<CTreeIndexerPrivate>()) {}

CTreeIndexer::~CTreeIndexer() {}

void CTreeIndexer::SetSettings(const SIndexSettings& settings)
{
    d->DropStarted();
    d->settings = settings;
}

const SIndexSettings& CTreeIndexer::GetSettings() const
{
    return d->settings;
}

void CTreeIndexer::SetExcludes(const CExcludeRules& rules)
{
    d->DropStarted();
    d->settings.excludes = rules;
}

void CTreeIndexer::SetCollects(const std::vector<std::string>& patterns)
{
    d->DropStarted();
    d->settings.collects = patterns;
}

void CTreeIndexer::SetChecksum(bool checksum)
{
    d->DropStarted();
    d->settings.checksum = checksum ? EChecksum::XXH128 : EChecksum::None;
}

void CTreeIndexer::SetOneFileSystem(bool oneFileSystem)
{
    d->DropStarted();
    d->settings.oneFileSystem = oneFileSystem;
}

void CTreeIndexer::SetUpdate(bool update)
{
    d->DropStarted();
    d->update = update;
}

void CTreeIndexer::SetOwnFiles(uint64_t folderDevice, uint64_t folderInode, const std::vector<std::string>& names)
{
    d->DropStarted();
    d->own = std::make_unique<walk::OwnFiles>(static_cast<dev_t>(folderDevice), static_cast<ino_t>(folderInode),
                                              names);
}

void CTreeIndexer::SetCallback(const CTreeIndexerCallbackPtr& callback)
{
    d->DropStarted();
    d->callback = callback;
}

CKoError CTreeIndexer::Start(const string& directory)
{
    d->DropStarted();
    if (d->update)
        return CKoError();
    auto started = std::make_unique<CTreeIndexerPrivate::Started>(directory, d->callback, OwnFilesOf(*d));
    CKoError error = walk::PrepareWalk(directory, d->settings, started->prepared);
    if (!error.IsError())
        error = walk::StartWalk(started->prepared.options, started->own, started->prepared.root,
                                started->prepared.rootStatus, started->report, started->walk);
    if (error.IsError())
        return error.Push(FX_LOCATION);
    // libcrypto loads here while the walk's threads list and stat what they
    // meet; they wait for it at their first digest (0.4 to 0.8 ms sooner
    // done for /etc than loading it first).
    started->warmUp.emplace(d->settings.checksum);
    d->PutStarted(std::move(started));
    return error;
}

CKoError CTreeIndexer::Index(CContentContainerDatabase& db, const string& directory, STreeIndexerCounts& counts)
{
    counts = STreeIndexerCounts();
    // A walk started for another directory is no part of this one.
    std::unique_ptr<CTreeIndexerPrivate::Started> started = d->TakeStarted();
    if (started && started->directory != directory)
        started.reset();
    // OpenSSL sets itself up while the container is made ready for the walk.
    const CChecksumWarmUp warmUp(d->settings.checksum);
    walk::PreparedWalk unstarted;
    if (!started) {
        CKoError error = walk::PrepareWalk(directory, d->settings, unstarted);
        if (error.IsError())
            return error.Push(FX_LOCATION);
    }
    walk::PreparedWalk& prepared = started ? started->prepared : unstarted;
    const std::string& resolved = prepared.resolved;
    const std::string& root = prepared.root;

    // An update brings the rows of the same tree up to date: those of another
    // would stay beside the new ones, a snapshot of neither.
    std::string origin;
    if (d->update && !db.GetValue("Origin", origin).IsError() && !origin.empty() && origin != resolved)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_PARAMETER,
                                       "the container holds a snapshot of %s, not of %s", origin.c_str(),
                                       resolved.c_str());

    // The settings go with the rows, so that a later walk of the tree to
    // compare with them can be made the same way; all in one transaction.
    CKoError error = InOneTransaction(db, [&] {
        CKoError written = db.SetValue("Origin", resolved);
        if (!written.IsError())
            written = db.SetValue("SnapshotState", "incomplete");
        if (!written.IsError())
            written = WriteIndexSettings(db, d->settings);
        return written;
    });
    if (error.IsError())
        return error.Push(FX_LOCATION, "cannot write the snapshot's properties");

    // An update reads the digests of the files that did not change from
    // what it updates, on connections of the walk's threads.
    if (d->update && (d->settings.checksum != EChecksum::None || d->settings.policy.DigestsSomewhere())) {
        SRecordedAttributes recorded;
        if (!ReadRecordedAttributes(db, recorded).IsError()) {
            prepared.options.reuseDigestsFrom = db.GetFullDatabaseName();
            prepared.options.previousFileSystems.insert(recorded.fileSystems.begin(), recorded.fileSystems.end());
        }
    }

    walk::TreeWriter writer(db, CTimeStamp::Now(), d->update);
    walk::CallbackReport unstartedReport(d->callback);
    walk::CallbackReport& report = started ? started->report : unstartedReport;
    walk::WalkOutcome outcome;
    error = writer.Begin(root);
    if (!error.IsError())
        report.Attach(writer);  // warnings held back, of a walk started ahead, go out now
    if (!error.IsError())
        error = started ? started->walk->HandTo(writer, outcome)
                        : walk::Walk(prepared.options, OwnFilesOf(*d), root, prepared.rootStatus, writer, report,
                                     outcome);
    counts.folders = writer.Folders();
    counts.files = writer.Files();
    counts.warnings = outcome.warnings;
    counts.problems = outcome.problems;
    counts.digestsTaken = outcome.digestsTaken;
    counts.digestsReused = outcome.digestsReused;
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
    error = InOneTransaction(db, [&] {
        CKoError written = RecordFileSystems(db, outcome.fileSystems);
        if (!written.IsError())
            written = db.SetValue("SnapshotState", outcome.problems == 0 ? "complete" : "partial");
        if (!written.IsError())
            written = db.SetValue("SnapshotProblems", std::to_string(outcome.problems));
        return written;
    });
    if (error.IsError())
        return error.Push(FX_LOCATION, "cannot write the snapshot's properties");
    return error;
}

}  // namespace CX
