// Containers that cx makes for one run only: in the temporary folder
// ($TMPDIR, else /tmp), private to the user, removed with SQLite's files
// beside them when the run ends. A run killed outright (SIGKILL, a crash)
// cannot remove its own: the next run that makes one removes those left
// behind by the same user.
#pragma once

#include "UniqueFd.h"

#include <string>
#include <vector>

namespace cxcli {

// A container file's name (or path) and those of SQLite's files beside it
// ("-wal", "-shm", "-journal"), the container's first.
std::vector<std::string> WithSideFiles(const std::string& name);
// Removes a container file and SQLite's files beside it, those there are.
void RemoveWithSideFiles(const std::string& path);

class ScratchContainer {
public:
    ScratchContainer() = default;
    ~ScratchContainer();
    ScratchContainer(const ScratchContainer&) = delete;
    ScratchContainer& operator=(const ScratchContainer&) = delete;

    // Makes the empty file; prints the cause and answers false when it cannot.
    bool Create();
    const std::string& Path() const { return path_; }

private:
    std::string path_;
    FX::UniqueFd lock_;  // tells a run's container from one left behind
};

// Moves the rows of a container from below `from` to below `to` (both
// absolute folder paths ending with "/"): rows outside `from` go, the
// ancestors of `to` are recorded as cx index records them, and the origin
// becomes `to`. Prints the cause and answers false on failure.
bool RebaseContainer(const std::string& container, const std::string& from, const std::string& to);

}  // namespace cxcli
