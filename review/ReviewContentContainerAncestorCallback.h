// CX::CReviewContentContainerAncestorCallback: what a container review tells
// its host. Hosts derive from it and override OnAncestorMissing; the review
// asks IsAborted() every so many rows.
#pragma once

#include "AbortOperationCheck.h"
#include "Export.h"
#include "KoError.h"

#include <boost/shared_ptr.hpp>

#include <cstdint>
#include <string>

namespace CX {

class CX_EXPORT CReviewContentContainerAncestorCallback : public CAbortOperationCheck {
public:
    CReviewContentContainerAncestorCallback();
    ~CReviewContentContainerAncestorCallback() override;

    // A folder the review found missing: its path ending with "/", its id and
    // its metadata (-1 and "" for a folder the index does not hold). Success
    // lets the review go on; error 50 (the default answer, "not supported")
    // stops further reports but not the review; any other error ends it.
    virtual CKoError OnAncestorMissing(const string& folderName, int64_t folderId, const string& folderMetadata);
};

}  // namespace CX

// Declared outside the namespace so that the reviews' function texts in error
// locations read the same whatever namespace the host writes in.
typedef boost::shared_ptr<CX::CReviewContentContainerAncestorCallback> CReviewContentContainerAncestorCallbackPtr;
