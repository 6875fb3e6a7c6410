#include "CompareContentContainersCallback.h"

namespace CX {

CCompareContentContainersCallback::CCompareContentContainersCallback() : CAbortOperationCheck() {}

CCompareContentContainersCallback::~CCompareContentContainersCallback() {}

CKoError CCompareContentContainersCallback::OnFolderInIndex1(const string&, const string&)
{
    return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_NOT_SUPPORTED);
}

CKoError CCompareContentContainersCallback::OnFolderInIndex1(const string&, const string&, bool&)
{
    return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_NOT_SUPPORTED);
}

CKoError CCompareContentContainersCallback::OnFileInIndex1(const string&, const string&, const string&,
                                                          const string&)
{
    return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_NOT_SUPPORTED);
}

CKoError CCompareContentContainersCallback::OnFolderInIndex2(const string&, const string&)
{
    return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_NOT_SUPPORTED);
}

CKoError CCompareContentContainersCallback::OnFolderInIndex2(const string&, const string&, bool&)
{
    return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_NOT_SUPPORTED);
}

CKoError CCompareContentContainersCallback::OnFileInIndex2(const string&, const string&, const string&,
                                                          const string&)
{
    return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_NOT_SUPPORTED);
}

CKoError CCompareContentContainersCallback::OnFolderInBothIndexes(const string&, const string&, const string&)
{
    return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_NOT_SUPPORTED);
}

CKoError CCompareContentContainersCallback::OnFolderInBothIndexes(const string&, const string&, const string&,
                                                                 bool&)
{
    return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_NOT_SUPPORTED);
}

CKoError CCompareContentContainersCallback::OnFileInBothIndexes(const string&, const string&, const string&,
                                                               const string&, const string&)
{
    return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_NOT_SUPPORTED);
}

}  // namespace CX
