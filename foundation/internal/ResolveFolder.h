// A folder named by the user, as the kernel reaches it.
#pragma once

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

namespace FX {

// Resolves `path` (links, ".", "..") to an absolute path without a trailing
// "/" (but for "/" itself) in `resolved`, with its status in `status`. 0, or
// the errno of the failure: ENOTDIR when it is no folder (`resolved` then
// names what it is).
inline int ResolveFolder(const std::string& path, std::string& resolved, struct stat& status)
{
    char buffer[PATH_MAX];
    if (realpath(path.c_str(), buffer) == nullptr)
        return errno;
    resolved = buffer;
    if (stat(buffer, &status) != 0)
        return errno;
    return S_ISDIR(status.st_mode) ? 0 : ENOTDIR;
}

}  // namespace FX
