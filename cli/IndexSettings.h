// The options a snapshot was taken with, as its container records them, so
// that a later check of the tree walks it the same way.
#pragma once

#include "Cli.h"

#include "ContentContainerDatabase.h"

namespace cxcli {

// Takes back the options the indexer recorded ("Checksum", "OneFileSystem",
// "ExcludeRules", "Collects"); what a container lacks (one made by a host
// that wrote its own rows, or by an older cx) stays as `options` has it.
void ReadIndexSettings(CX::CContentContainerDatabase& db, IndexOptions& options);

}  // namespace cxcli
