// What every walk of a directory for a host needs: the directory resolved
// and the walk's options made from the host's settings, and the walk's report
// passed on to the host's callback.
#pragma once

#include "EntryStatus.h"
#include "IndexSettings.h"
#include "TreeIndexer.h"
#include "TreeSink.h"

#include <cstdint>
#include <mutex>
#include <string>

namespace CX::walk {

struct PreparedWalk {
    std::string resolved;  // the directory's real path, without a trailing "/" (but for "/")
    std::string root;      // the same ending with "/"
    EntryStatus rootStatus;
    WalkOptions options;
};

// Resolves `directory` and makes the walk's options from `settings`. A
// directory that cannot be resolved is the errno's error; one that is no
// folder is error 87 (ERROR_INVALID_PARAMETER).
CKoError PrepareWalk(const std::string& directory, const SIndexSettings& settings, PreparedWalk& walk);

// Where a walk's sink says how far it got, for the progress the host sees.
class WalkProgress {
public:
    virtual ~WalkProgress() = default;
    virtual uint64_t Entries() const = 0;
    virtual const std::string& Current() const = 0;  // the folder handled last
};

// The walk's report to a host's callback (none: no progress, no warnings, no
// cancel): warnings one at a time, progress and cancel on the thread that
// runs the walk.
class CallbackReport : public WalkReport {
public:
    CallbackReport(CTreeIndexerCallback* callback, const WalkProgress& progress)
        : callback_(callback), progress_(progress)
    {
    }

    void Warning(const std::string& path, const char* what, const char* cause, bool problem) override
    {
        if (callback_ == nullptr)
            return;
        std::lock_guard<std::mutex> lock(mutex_);
        callback_->OnWarning(path, what, cause, problem);
    }

    bool Poll() override
    {
        if (callback_ == nullptr)
            return false;
        callback_->OnProgress(progress_.Entries(), progress_.Current());
        return callback_->IsAborted();
    }

private:
    CTreeIndexerCallback* const callback_;
    const WalkProgress& progress_;
    std::mutex mutex_;
};

}  // namespace CX::walk
