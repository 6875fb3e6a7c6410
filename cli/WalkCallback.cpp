#include "WalkCallback.h"

#include "FXPath.h"
#include "Output.h"
#include "Progress.h"
#include "ResolveFolder.h"

#include <boost/make_shared.hpp>

#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace cxcli {

namespace {

class WalkCallback : public CX::CTreeIndexerCallback {
public:
    explicit WalkCallback(const char* what) : progress_(what) {}

    bool IsAborted() override { return g_interrupted.load(); }
    void OnProgress(uint64_t entries, const std::string& folderName) override
    {
        progress_.Update(entries, folderName);
    }
    void OnWarning(const std::string& path, const std::string& what, const std::string& cause, bool) override
    {
        Warn(path, what + ": " + cause);
    }

private:
    Progress progress_;
};

}  // namespace

CX::CTreeIndexerCallbackPtr MakeWalkCallback(const char* what) { return boost::make_shared<WalkCallback>(what); }

// What comes from the last entry that says something, the cause from the first.
std::string WalkFailure(const CKoError& error)
{
    const std::string cause = Cause(error);
    for (auto entry = error.Entries().rbegin(); entry != error.Entries().rend(); ++entry)
        if (!entry->message.empty())
            return entry->message == cause ? cause : entry->message + ": " + cause;
    return cause;
}

bool ResolveRoot(const std::string& directory, std::string& root)
{
    std::string resolved;
    struct stat status {};
    const int failure = FX::ResolveFolder(directory, resolved, status);
    if (failure != 0) {
        Fail(resolved.empty() ? directory : resolved, failure == ENOTDIR ? "not a directory" : std::strerror(failure));
        return false;
    }
    root = resolved;
    FXPath::AppendTrailingDelimiter(root);
    return true;
}

}  // namespace cxcli
