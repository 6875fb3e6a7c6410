// What the command line names: paths, taken as cx index stores them, and
// containers.
#pragma once

#include "ContentContainerDatabase.h"

#include <memory>
#include <string>

namespace cxcli {

// The form cx index stores a path in: absolute (a relative argument is taken
// from the current folder), without empty, "." or ".." components, and
// without a trailing "/". `folderOnly` tells that the argument can only name
// a folder: it ends with "/", "." or "..", or names the root. False, with a
// message, for an empty argument or an unreadable current folder.
bool AbsolutePath(const std::string& argument, std::string& path, bool& folderOnly);

// Checks that `path` names a container that can be read; on failure prints
// the reason and returns false.
bool CheckContainer(const std::string& path);
// A read-only database on a checked container, or null after a reported failure.
std::unique_ptr<CX::CContentContainerDatabase> OpenForReading(const std::string& container);

}  // namespace cxcli
