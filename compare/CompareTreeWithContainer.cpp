#include "CompareTreeWithContainer.h"

#include "ChecksumWarmUp.h"
#include "MakeSharedNothrow.h"
#include "OwnFiles.h"
#include "SQLiteConnection.h"
#include "TreeComparer.h"
#include "WalkSetup.h"

#include <boost/make_shared.hpp>

#include <memory>

namespace CX {

class CCompareTreeWithContainerPrivate {
public:
    string containerName;
    string directory;
    CCompareContentContainersCallbackPtr callback;
    SIndexSettings settings;
    string reportedRoot;
    std::unique_ptr<walk::OwnFiles> own;
    CTreeIndexerCallbackPtr walkCallback;
    boost::shared_ptr<CBag> configurationBag;
    int64_t abortCheckPeriod = 50000;
    bool recurseDeletedFolders = true;
    std::vector<std::pair<uint64_t, std::string>> fileSystems;  // of the last walk
};

CCompareTreeWithContainer::CCompareTreeWithContainer(const string& containerName, const string& directory,
                                                     const CCompareContentContainersCallbackPtr& callback)
    : d(boost::make_shared<CCompareTreeWithContainerPrivate>())
{
    d->containerName = containerName;
    d->directory = directory;
    d->callback = callback;
}

CCompareTreeWithContainer::~CCompareTreeWithContainer() {}

void CCompareTreeWithContainer::SetSettings(const SIndexSettings& settings)
{
    d->settings = settings;
}

void CCompareTreeWithContainer::SetReportedRoot(const string& root)
{
    d->reportedRoot = root;
}

void CCompareTreeWithContainer::SetOwnFiles(uint64_t folderDevice, uint64_t folderInode,
                                            const std::vector<std::string>& names)
{
    d->own = std::make_unique<walk::OwnFiles>(static_cast<dev_t>(folderDevice), static_cast<ino_t>(folderInode),
                                              names);
}

void CCompareTreeWithContainer::SetWalkCallback(const CTreeIndexerCallbackPtr& callback)
{
    d->walkCallback = callback;
}

CKoError CCompareTreeWithContainer::SetConfigurationBag(const boost::shared_ptr<CBag>& bag)
{
    d->configurationBag = bag;
    return CKoError::Success();
}

const std::vector<std::pair<uint64_t, std::string>>& CCompareTreeWithContainer::FileSystems() const
{
    return d->fileSystems;
}

CKoError CCompareTreeWithContainer::Compare(STreeIndexerCounts& counts)
{
    counts = STreeIndexerCounts();
    if (d->configurationBag) {
        // Absent or unreadable keys keep the value in force.
        long period = static_cast<long>(d->abortCheckPeriod);
        d->configurationBag->Read("AbortCheckPeriod::CCC", period);
        d->abortCheckPeriod = period;
        d->configurationBag->Read("RecurseDeletedFolders::CCC", d->recurseDeletedFolders);
    }
    if (d->abortCheckPeriod < 1)
        d->abortCheckPeriod = 100;
    if (d->containerName.empty() || !d->callback)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_PARAMETER,
                                       "Container or callback not specified, ContainerName=[%s]",
                                       d->containerName.c_str());

    // OpenSSL sets itself up while the container is opened.
    const CChecksumWarmUp warmUp(d->settings.checksum);
    walk::PreparedWalk prepared;
    CKoError error = walk::PrepareWalk(d->directory, d->settings, prepared);
    if (error.IsError())
        return error.Push(FX_LOCATION);

    // Read on this thread only, while the walk's threads list the tree: no
    // need for SQLite's mutex.
    CContentContainerDatabasePtr db;
    {
        FX::detail::OwnThreadConnections ownThread;
        db = FX::make_shared_nothrow<CContentContainerDatabase>(d->containerName, true);
    }
    if (!db)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_OUTOFMEMORY);

    TreeComparer::Options options;
    options.walkRoot = prepared.root;
    options.reportedRoot = d->reportedRoot.empty() ? prepared.root : d->reportedRoot;
    options.abortCheckPeriod = d->abortCheckPeriod;
    options.recurseOneSided = d->recurseDeletedFolders;
    TreeComparer comparer(*db, *d->callback, options);
    walk::CallbackReport report(d->walkCallback);
    report.Attach(comparer);
    walk::WalkOutcome outcome;
    static const walk::OwnFiles kNone(0, 0, {});
    error = comparer.Begin();
    if (!error.IsError())
        error = walk::Walk(prepared.options, d->own ? *d->own : kNone, prepared.root, prepared.rootStatus, comparer,
                           report, outcome);
    counts.folders = comparer.Folders();
    counts.files = comparer.Files();
    counts.warnings = outcome.warnings;
    counts.problems = outcome.problems;
    d->fileSystems = outcome.fileSystems;
    if (!error.IsError() && (outcome.stopped || report.Poll()))
        error = FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_OPERATION_ABORTED);
    if (!error.IsError())
        error = comparer.Finish();
    return error.Push(FX_LOCATION);
}

}  // namespace CX
