// CX::CCompareContentContainers: compares a previous container (index 1) with
// a current one (index 2) and reports every folder and file as only in index 1,
// only in index 2 or in both, through the host's callback.
//
// One call of CompareDatabases is one run on the caller's thread: it opens
// both files read-only (a missing one is an error with the open's cause, and
// neither is ever created or written), walks both folder lists side by side
// in folder-name order and, per folder, both file lists by byte order of the
// file names, then releases both databases.
// Every folder and file found in both is reported, changed or not: judging the
// two metadata texts is the host's business.
//
// Configuration, read from the bag at the start of each run (an absent key
// keeps the value in force, and values read stay for later runs):
//   "AbortCheckPeriod::CCC" (long, default 50000): IsAborted is asked every
//       that many steps, folder and file steps counted together, and a progress
//       mark "<steps>   <folder steps>\r" goes to standard output each time a
//       file step hits the period. Below 1 means 100.
//   "RecurseDeletedFolders::CCC" (bool, default true): whether a folder found
//       in one index only has its files compared (the host's `recurse` answer
//       can override it folder by folder).
//
// Errors: a missing name or callback is error 87 (ERROR_INVALID_PARAMETER)
// and a null callback is refused before anything is opened; a cancel is error
// 995 (ERROR_OPERATION_ABORTED); a callback's error other than 50 ends the run
// and comes back with an entry per level.
//
// Exceptions: a listing that cannot be read on (a damaged file, an I/O error)
// ends the run with an error carrying SQLite's code. Any exception thrown by a
// callback passes out of CompareDatabases unchanged, after the run's queries
// and both databases have been released.
//
// One object runs one comparison at a time.
#pragma once

#include "Bag.h"
#include "CompareContentContainersCallback.h"
#include "Export.h"
#include "KoError.h"

#include <boost/shared_ptr.hpp>

// The configuration keys of the comparison.
struct CX_EXPORT SXCompareContentContainersBagId {
    static const string idAbortCheckPeriod;       // "AbortCheckPeriod::CCC"
    static const string idRecurseDeletedFolders;  // "RecurseDeletedFolders::CCC"
};

namespace CX {

class CCompareContentContainersPrivate;

class CX_EXPORT CCompareContentContainers {
public:
    // Stores the names and the callback; touches no file.
    CCompareContentContainers(const string& currentDatabaseName, const string& previousDatabaseName,
                              const CCompareContentContainersCallbackPtr& callback);
    ~CCompareContentContainers();

    // Shares the bag; it is read at the start of each run. Null removes it.
    CKoError SetConfigurationBag(const boost::shared_ptr<CBag>& bag);
    CKoError CompareDatabases();

private:
    boost::shared_ptr<CCompareContentContainersPrivate> d;
};

}  // namespace CX
