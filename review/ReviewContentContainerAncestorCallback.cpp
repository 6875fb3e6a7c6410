#include "ReviewContentContainerAncestorCallback.h"

namespace CX {

CReviewContentContainerAncestorCallback::CReviewContentContainerAncestorCallback() = default;

CReviewContentContainerAncestorCallback::~CReviewContentContainerAncestorCallback() = default;

CKoError CReviewContentContainerAncestorCallback::OnAncestorMissing(const string& folderName, int64_t folderId,
                                                                    const string& folderMetadata)
{
    (void)folderName;
    (void)folderId;
    (void)folderMetadata;
    return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_NOT_SUPPORTED);
}

}  // namespace CX
