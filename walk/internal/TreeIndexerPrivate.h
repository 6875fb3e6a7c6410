// The data of one CX::CTreeIndexer: its options.
#pragma once

#include "OwnFiles.h"
#include "TreeIndexer.h"

#include <memory>

namespace CX {

class CTreeIndexerPrivate {
public:
    SIndexSettings settings;
    bool update = false;
    std::unique_ptr<walk::OwnFiles> own;
    CTreeIndexerCallbackPtr callback;
};

}  // namespace CX
