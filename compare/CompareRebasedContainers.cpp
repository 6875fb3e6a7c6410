#include "CompareRebasedContainers.h"

#include "FXString.h"
#include "MakeSharedNothrow.h"
#include "SQLiteConnection.h"
#include "TreeComparer.h"

#include <boost/make_shared.hpp>

namespace CX {

class CCompareRebasedContainersPrivate {
public:
    string currentName;
    string currentRoot;
    string previousName;
    string previousRoot;
    CCompareContentContainersCallbackPtr callback;
    boost::shared_ptr<CBag> configurationBag;
    long abortCheckPeriod = 50000;
    bool recurseDeletedFolders = true;
};

CCompareRebasedContainers::CCompareRebasedContainers(const string& currentDatabaseName, const string& currentRoot,
                                                     const string& previousDatabaseName, const string& previousRoot,
                                                     const CCompareContentContainersCallbackPtr& callback)
    : d(boost::make_shared<CCompareRebasedContainersPrivate>())
{
    d->currentName = currentDatabaseName;
    d->currentRoot = currentRoot;
    d->previousName = previousDatabaseName;
    d->previousRoot = previousRoot;
    d->callback = callback;
}

CCompareRebasedContainers::~CCompareRebasedContainers() {}

CKoError CCompareRebasedContainers::SetConfigurationBag(const boost::shared_ptr<CBag>& bag)
{
    d->configurationBag = bag;
    return CKoError::Success();
}

CKoError CCompareRebasedContainers::CompareDatabases()
{
    if (d->configurationBag) {
        // Absent or unreadable keys keep the value in force.
        d->configurationBag->Read("AbortCheckPeriod::CCC", d->abortCheckPeriod);
        d->configurationBag->Read("RecurseDeletedFolders::CCC", d->recurseDeletedFolders);
    }
    if (d->abortCheckPeriod < 1)
        d->abortCheckPeriod = 100;
    if (d->currentName.empty() || d->previousName.empty() || !d->callback ||
        !FXString::MatchRight(d->currentRoot, "/") || !FXString::MatchRight(d->previousRoot, "/"))
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_PARAMETER,
                                       "Missing name, root or callback, PrevDatabaseName=[%s], CurrDatabaseName=[%s]",
                                       d->previousName.c_str(), d->currentName.c_str());

    // Both are read on this thread only: no need for SQLite's mutex.
    CContentContainerDatabasePtr previous;
    CContentContainerDatabasePtr current;
    {
        FX::detail::OwnThreadConnections ownThread;
        previous = FX::make_shared_nothrow<CContentContainerDatabase>(d->previousName, true);
        current = FX::make_shared_nothrow<CContentContainerDatabase>(d->currentName, true);
    }
    if (!previous || !current)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_OUTOFMEMORY);

    TreeComparer::Options options;
    options.walkRoot = d->currentRoot;
    options.reportedRoot = d->previousRoot;
    options.abortCheckPeriod = d->abortCheckPeriod;
    options.recurseOneSided = d->recurseDeletedFolders;
    TreeComparer comparer(*previous, *d->callback, options);
    CKoError error = comparer.Begin();
    if (error.IsError())
        return error.Push(FX_LOCATION);

    // The current container's rows below its root, handed on as a walk of
    // that folder would hand them on: the listings' order is the walk's.
    FolderCursor folders;
    error = current->QueryFolders(folders.query);
    if (error.IsError())
        return current->ConstructionErrorOr(error).Push(FX_LOCATION);
    try {
        for (folders.Open(); !folders.AtEnd(); folders.Advance()) {
            if (folders.name.compare(0, d->currentRoot.size(), d->currentRoot) != 0)
                continue;  // above or beside the root
            error = comparer.Folder(folders.name, folders.Metadata(), true);
            if (error.IsError())
                return error.Push(FX_LOCATION);
            FileCursor files;
            error = current->QueryFiles(folders.id, files.query);
            if (error.IsError())
                return error.Push(FX_LOCATION);
            for (files.Open(); !files.AtEnd(); files.Advance()) {
                error = comparer.File(files.name, files.Metadata());
                if (error.IsError())
                    return error.Push(FX_LOCATION);
            }
        }
    } catch (const CListingFailure& failure) {
        return FX::ErrorFromException(FX_LOCATION, failure.exception);
    }
    error = comparer.Finish();
    return error.Push(FX_LOCATION);
}

}  // namespace CX
