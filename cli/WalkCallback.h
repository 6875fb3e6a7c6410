// What a walk of a tree tells the user of cx index and cx check: warnings on
// standard error, a progress line on a terminal, and Ctrl-C as a cancel.
#pragma once

#include "KoError.h"
#include "TreeIndexer.h"

#include <string>

namespace cxcli {

// `what` labels the progress line ("indexed").
CX::CTreeIndexerCallbackPtr MakeWalkCallback(const char* what);
// "<what>: <cause>" for a failed run of the indexer.
std::string WalkFailure(const CKoError& error);
// `directory` as the kernel resolves it, ending with "/"; false after the
// failure was reported (it does not exist, or is no folder).
bool ResolveRoot(const std::string& directory, std::string& root);

}  // namespace cxcli
