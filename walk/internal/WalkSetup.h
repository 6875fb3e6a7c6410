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
#include <vector>

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
// runs the walk. Until the sink's progress is attached (a walk started
// before its sink was ready), warnings are held back.
class CallbackReport : public WalkReport {
public:
    explicit CallbackReport(const CTreeIndexerCallbackPtr& callback) : callback_(callback) {}

    // Passes on the warnings held back, and what comes from now on.
    void Attach(const WalkProgress& progress)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        progress_ = &progress;
        for (const Held& warning : held_)
            callback_->OnWarning(warning.path, warning.what, warning.cause, warning.problem);
        held_.clear();
    }

    void Warning(const std::string& path, const char* what, const char* cause, bool problem) override
    {
        if (!callback_)
            return;
        std::lock_guard<std::mutex> lock(mutex_);
        if (progress_ == nullptr)
            held_.push_back(Held{path, what, cause, problem});
        else
            callback_->OnWarning(path, what, cause, problem);
    }

    bool Poll() override
    {
        if (!callback_ || progress_ == nullptr)
            return false;
        callback_->OnProgress(progress_->Entries(), progress_->Current());
        return callback_->IsAborted();
    }

private:
    struct Held {
        std::string path;
        std::string what;
        std::string cause;
        bool problem;
    };

    const CTreeIndexerCallbackPtr callback_;
    const WalkProgress* progress_ = nullptr;
    std::vector<Held> held_;
    std::mutex mutex_;
};

}  // namespace CX::walk
