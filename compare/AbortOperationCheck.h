// CAbortOperationCheck: the host's cancel switch for the library's long walks.
//
// The comparison and the reviews ask IsAborted() every so many steps (never in
// between), so a host that cancels from another thread keeps its own flag in
// its derived object and answers from it; the walk stops at its next check.
#pragma once

#include "Export.h"

class CX_EXPORT CAbortOperationCheck {
public:
    CAbortOperationCheck() {}
    virtual ~CAbortOperationCheck() {}

    virtual bool IsAborted() { return false; }
};
