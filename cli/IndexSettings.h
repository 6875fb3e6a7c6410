// The options a snapshot was taken with, kept in its container, so that a
// later check of the tree walks it the same way.
#pragma once

#include "Cli.h"

#include "ContentContainerDatabase.h"

namespace cxcli {

// Stores the walk's options in the storage table (keys "Checksum",
// "OneFileSystem", "ExcludeRules", "Collects"; rules and patterns one per
// line).
CKoError RecordIndexSettings(CX::CContentContainerDatabase& db, const IndexOptions& options);

// Takes back what RecordIndexSettings stored; what a container lacks (one
// made by a host, or by an older cx) stays as `options` has it.
void ReadIndexSettings(CX::CContentContainerDatabase& db, IndexOptions& options);

}  // namespace cxcli
