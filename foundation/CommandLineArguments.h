// CCommandLineArguments: a host program's parsed command line, as the
// utilities library hands it to the modules it starts.
#pragma once

#include "Export.h"

#include <boost/shared_ptr.hpp>

class CX_EXPORT CCommandLineArguments {
public:
    CCommandLineArguments() {}
    virtual ~CCommandLineArguments() {}
};

typedef boost::shared_ptr<CCommandLineArguments> CCommandLineArgumentsPtr;
