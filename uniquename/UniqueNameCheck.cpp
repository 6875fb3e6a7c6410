#include "UniqueNameCheck.h"

#include "LogWriter.h"
#include "MakeSharedNothrow.h"
#include "UniqueNameCheckPrivate.h"

namespace CX {

CUniqueNameCheck::CUniqueNameCheck(bool caseSensitive) : d(FX::make_shared_nothrow<CUniqueNameCheckPrivate>())
{
    CKoError error;
    if (d)
        d->database = FX::make_shared_nothrow<CUniqueNameCheckDatabase>(caseSensitive);
    if (!d || !d->database)
        error = FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_OUTOFMEMORY);
    else
        error = d->CreateStatements();
    if (error.IsError())
        FXLogWrite(-1, __PRETTY_FUNCTION__, __LINE__, "error=%s", error.AsString().c_str());
}

CUniqueNameCheck::CUniqueNameCheck(CloneKey) : d(FX::make_shared_nothrow<CUniqueNameCheckPrivate>()) {}

CUniqueNameCheck::~CUniqueNameCheck() = default;

CUniqueNameCheckPtr CUniqueNameCheck::GetClone()
{
    CUniqueNameCheckPtr clone = FX::make_shared_nothrow<CUniqueNameCheck>(CloneKey());
    CKoError error;
    if (!clone || !clone->d) {
        clone.reset();
        error = FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_OUTOFMEMORY);
    } else {
        if (d)
            clone->d->database = d->database;
        error = clone->d->CreateStatements();
    }
    if (error.IsError())
        FXLogWrite(-1, __PRETTY_FUNCTION__, __LINE__, "error=%s", error.AsString().c_str());
    return clone;
}

CKoError CUniqueNameCheck::CheckName(const string& name, bool& nameExists)
{
    nameExists = false;
    if (!d)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_HANDLE, "Statement not prepared, Name=[%s]",
                                       name.c_str());
    bool inserted = false;
    CKoError error = d->InsertName(name, inserted);
    if (error.IsError())
        return error.Push(FX_LOCATION);
    nameExists = !inserted;
    return CKoError::Success();
}

}  // namespace CX
