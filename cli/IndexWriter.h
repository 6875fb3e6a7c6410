// The writing side of cx index: the rows of a walk into the container.
#pragma once

#include "Cli.h"

#include "ContentContainerDatabase.h"
#include "Walker.h"

#include <sys/stat.h>

#include <string>

namespace cxcli {

// Records the ancestors of `root`, then runs the walker on a thread of its
// own while this thread writes what it hands over; false when a write failed
// (already reported). `own` are left out of the walk. `problems` counts the
// entries that could not be read, each marked Unreadable="..." (and among the
// `warnings`).
bool WriteTree(const IndexOptions& options, CX::CContentContainerDatabase& db, CTimeStamp now,
               const OwnFiles& own, const std::string& root, const struct stat& rootStatus,
               unsigned long long& folders, unsigned long long& files, unsigned long long& warnings,
               unsigned long long& problems);

}  // namespace cxcli
