// CAbortOperationCheck: the base of the callback objects of long-running
// services, which poll IsAborted() every so many steps to let the host cancel.
#pragma once

class CAbortOperationCheck {
public:
    CAbortOperationCheck() = default;
    virtual ~CAbortOperationCheck() = default;
    // True asks the running service to stop; it stops at its next check.
    virtual bool IsAborted() { return false; }
};
