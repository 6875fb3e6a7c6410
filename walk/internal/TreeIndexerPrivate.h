// The data of one CX::CTreeIndexer: its options, and a walk started ahead of
// Index.
#pragma once

#include "ChecksumWarmUp.h"
#include "OwnFiles.h"
#include "TreeIndexer.h"
#include "TreeWalker.h"
#include "WalkSetup.h"

#include <memory>
#include <mutex>
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

    // The walk started ahead, handed to one caller: copies of an indexer
    // share this data, and Index may run on several threads at once.
    std::unique_ptr<Started> TakeStarted()
    {
        std::lock_guard<std::mutex> lock(startedMutex_);
        return std::move(started_);
    }
    // Its threads are stopped and waited for.
    void DropStarted() { TakeStarted(); }
    void PutStarted(std::unique_ptr<Started> started)
    {
        {
            std::lock_guard<std::mutex> lock(startedMutex_);
            started_.swap(started);
        }
        // One started before it, if any, ends here, outside the lock.
    }

    SIndexSettings settings;
    bool update = false;
    std::unique_ptr<walk::OwnFiles> own;
    CTreeIndexerCallbackPtr callback;

private:
    std::mutex startedMutex_;
    std::unique_ptr<Started> started_;  // given up as soon as any option changes
};

}  // namespace CX
