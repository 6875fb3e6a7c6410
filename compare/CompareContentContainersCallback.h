// CX::CCompareContentContainersCallback: what a comparison of two containers
// reports, event by event. Index 1 is the previous container, index 2 the
// current one.
//
// Hosts derive and override any subset. Every operation left alone answers
// error 50 (ERROR_NOT_SUPPORTED); the comparison then stops calling it (folder
// forms for the rest of the run, file forms for the rest of that folder) and
// carries on. Any other error ends the comparison with that error.
//
// Each folder event comes in two forms. The comparison calls the form without
// `recurse` while that one is in use and the form with `recurse` only once the
// first has answered 50: a host that wants to steer recursion overrides only
// the `recurse` form. `recurse` enters holding the comparison's setting and,
// when the host leaves it false, that folder's files are not compared; for a
// folder in one index only, the folders below it in that index are then passed
// over unreported.
//
// Metadata of a NULL column arrives as the empty text. filePath is folderName
// and fileName joined. Everything is called on the thread that runs the
// comparison, a folder's event before the events of its files.
#pragma once

#include "AbortOperationCheck.h"
#include "Export.h"
#include "KoError.h"

#include <boost/shared_ptr.hpp>

namespace CX {

class CX_EXPORT CCompareContentContainersCallback : public CAbortOperationCheck {
public:
    CCompareContentContainersCallback();
    virtual ~CCompareContentContainersCallback();

    virtual CKoError OnFolderInIndex1(const string& folderName, const string& metadata);
    virtual CKoError OnFolderInIndex1(const string& folderName, const string& metadata, bool& recurse);
    virtual CKoError OnFileInIndex1(const string& filePath, const string& folderName, const string& fileName,
                                    const string& metadata);

    virtual CKoError OnFolderInIndex2(const string& folderName, const string& metadata);
    virtual CKoError OnFolderInIndex2(const string& folderName, const string& metadata, bool& recurse);
    virtual CKoError OnFileInIndex2(const string& filePath, const string& folderName, const string& fileName,
                                    const string& metadata);

    virtual CKoError OnFolderInBothIndexes(const string& folderName, const string& metadata1,
                                           const string& metadata2);
    virtual CKoError OnFolderInBothIndexes(const string& folderName, const string& metadata1, const string& metadata2,
                                           bool& recurse);
    virtual CKoError OnFileInBothIndexes(const string& filePath, const string& folderName, const string& fileName,
                                         const string& metadata1, const string& metadata2);
};

typedef boost::shared_ptr<CCompareContentContainersCallback> CCompareContentContainersCallbackPtr;

}  // namespace CX
