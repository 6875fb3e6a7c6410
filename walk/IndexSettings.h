// CX::SIndexSettings: how a snapshot was taken, as one value that the tree
// indexer records in the container and that a later run reads back, so that
// an update or a check of the tree walks it the same way.
//
// The container's storage holds them under "Checksum" (the name of the
// digest algorithm, "none" without), "OneFileSystem" ("true" or "false"),
// "ExcludeRules" (the rules' lines, as CExcludeRules::Text gives them) and
// "Collects" (one pattern per line).
#pragma once

#include "ContentContainerDatabase.h"
#include "ExcludeRules.h"
#include "Export.h"
#include "KoError.h"

#include <string>
#include <vector>

namespace CX {

// The digest of each regular file's content that a walk records, as an
// attribute named after the algorithm.
enum class EChecksum {
    None,
    XXH128,  // XXH128="<32 hex digits>": XXH3's 128-bit hash
};

// The name an algorithm is recorded and given under ("none", "xxh128").
CX_EXPORT const char* ChecksumName(EChecksum checksum);
// False when `name` names no algorithm.
CX_EXPORT bool ChecksumFromName(const string& name, EChecksum& checksum);
// The attribute that holds the digest ("XXH128"); empty for None.
CX_EXPORT const char* ChecksumAttribute(EChecksum checksum);

struct CX_EXPORT SIndexSettings {
    EChecksum checksum = EChecksum::None;
    bool oneFileSystem = false;  // folders on another device than the root are left out
    CExcludeRules excludes;      // entries left out, with what lies below them
    // Files marked Collect="true": a pattern with a "/" is matched against
    // the whole path, any other against the name (fnmatch(3)).
    std::vector<std::string> collects;
};

// Records `settings` in the container, replacing what it recorded.
CX_EXPORT CKoError WriteIndexSettings(CContentContainerDatabase& db, const SIndexSettings& settings);

// Reads the recorded settings into `settings`. What the container does not
// record (one written by a host, or by an older version) keeps the value
// `settings` has. A value that cannot be taken back is error 13
// (ERROR_INVALID_DATA), with a message that names it ("recorded setting
// ExcludeRules: line 2: ..."), and leaves `settings` as it was: nothing is to
// be walked with half the rules.
CX_EXPORT CKoError ReadIndexSettings(CContentContainerDatabase& db, SIndexSettings& settings);

}  // namespace CX
