// CContainers: the entry object a host's module loader starts for this
// library. The library needs no start-up work, so both steps only succeed.
#pragma once

#include "CommandLineArguments.h"
#include "Export.h"
#include "KoError.h"

class CX_EXPORT CContainers {
public:
    CContainers();
    ~CContainers();

    CKoError Initialize(const CCommandLineArgumentsPtr& arguments);
    CKoError Run();
};
