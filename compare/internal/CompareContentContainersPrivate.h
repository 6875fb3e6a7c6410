// The data of CX::CCompareContentContainers and the walk of one folder's files.
#pragma once

#include "Bag.h"
#include "CompareContentContainersCallback.h"
#include "ContentContainerDatabase.h"
#include "Export.h"
#include "KoError.h"

#include <boost/shared_ptr.hpp>

#include <cstdint>

typedef long long LONGLONG;
// Spelled without its namespace in the file walk's signature, which error
// locations carry as text.
typedef CX::CContentContainerDatabasePtr CContentContainerDatabasePtr;

namespace CX {

// A listing that could not be read on (a damaged file, an I/O error), carried
// from a cursor's step to the walk that answers it as an error. A type of its
// own, so that nothing a host's callback throws is taken for it.
struct CListingFailure {
    FX::CSQLite3Exception exception;
};

// Steps a listing on; throws CListingFailure when it cannot.
inline void NextListingRow(FX::CSQLite3Query& query)
{
    try {
        query.NextRow();
    } catch (const FX::CSQLite3Exception& exception) {
        throw CListingFailure{exception};
    }
}

class CCompareContentContainersPrivate {
public:
    CX_EXPORT CCompareContentContainersPrivate();
    CX_EXPORT ~CCompareContentContainersPrivate();

    // Compares the files of one folder: `folderId1` in `database1` (index 1)
    // against `folderId2` in `database2` (index 2); -1 stands for the side that
    // lacks the folder. Adds one to `stepCounter` per file step, asks
    // IsAborted and writes the progress mark at each multiple of
    // abortCheckPeriod. A listing that cannot be read on ends it with SQLite's
    // code.
    CKoError CompareDatabaseFolder(const string& folderName, const ::CContentContainerDatabasePtr& database1,
                                   LONGLONG folderId1, const ::CContentContainerDatabasePtr& database2,
                                   LONGLONG folderId2, LONGLONG& stepCounter, LONGLONG folderStepCount);

    string currentDatabaseName;   // index 2
    string previousDatabaseName;  // index 1
    CCompareContentContainersCallbackPtr callback;
    boost::shared_ptr<CBag> configurationBag;
    int64_t abortCheckPeriod = 50000;
    bool recurseDeletedFolders = true;
};

}  // namespace CX
