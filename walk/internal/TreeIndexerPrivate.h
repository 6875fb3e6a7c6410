// The data of one CX::CTreeIndexer: its options, and a walk started ahead of
// Index.
#pragma once

#include "ChecksumWarmUp.h"
#include "OwnFiles.h"
#include "TreeIndexer.h"
#include "TreeWalker.h"
#include "WalkSetup.h"

#include <memory>
#include <optional>

namespace CX {

class CTreeIndexerPrivate {
public:
    // A walk started by Start, with all it uses: its threads end first.
    struct Started {
        Started(const std::string& directory, const CTreeIndexerCallbackPtr& callback, const walk::OwnFiles& own)
            : directory(directory), own(own), report(callback)
        {
        }
        const std::string directory;
        const walk::OwnFiles own;
        std::optional<CChecksumWarmUp> warmUp;
        walk::PreparedWalk prepared;
        walk::CallbackReport report;
        std::unique_ptr<walk::RunningWalk> walk;
    };

    SIndexSettings settings;
    bool update = false;
    std::unique_ptr<walk::OwnFiles> own;
    CTreeIndexerCallbackPtr callback;
    std::unique_ptr<Started> started;  // dropped as soon as any option changes
};

}  // namespace CX
