// The writing side of cx index: the rows of a walk into the container.
#pragma once

#include "Cli.h"

#include "ContentContainerDatabase.h"

#include <sys/stat.h>

#include <string>

namespace cxcli {

// Records the ancestors of `root`, then runs the walker on a thread of its
// own while this thread writes what it hands over; false when a write failed
// (already reported). The files of the container at `containerPath` (the
// one being replaced, and the temporary its successor is built in) are left
// out of the walk.
bool WriteTree(const IndexOptions& options, CX::CContentContainerDatabase& db, CTimeStamp now,
               const std::string& containerPath, const std::string& root, const struct stat& rootStatus,
               unsigned long long& folders, unsigned long long& files, unsigned long long& warnings);

}  // namespace cxcli
