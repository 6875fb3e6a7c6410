// The data of one CX::CTreeIndexer: its options.
#pragma once

#include "TreeIndexer.h"
#include "TreeSink.h"
#include "TreeWalker.h"

#include <memory>

namespace CX {

class CTreeIndexerPrivate {
public:
    walk::WalkOptions options;
    bool update = false;
    std::unique_ptr<walk::OwnFiles> own;
    CTreeIndexerCallbackPtr callback;
};

}  // namespace CX
