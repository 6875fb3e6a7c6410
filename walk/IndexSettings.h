// CX::SIndexSettings: how a snapshot was taken, as one value that the tree
// indexer records in the container and that a later run reads back, so that
// an update or a check of the tree walks it the same way.
//
// The container's storage holds them under "Checksum" (the name of the
// digest algorithm, "none" without), "OneFileSystem" and "Xattrs" ("true" or
// "false"), "ExcludeRules" (the rules' lines, as CExcludeRules::Text gives
// them), "Collects" (one pattern per line) and "Policy" (the policy's lines);
// and what the rows record under "Attributes" (see SRecordedAttributes).
#pragma once

#include "ContentContainerDatabase.h"
#include "ExcludeRules.h"
#include "Export.h"
#include "PathPolicy.h"
#include "KoError.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace CX {

// The digest of each regular file's content that a walk records, as an
// attribute named after the algorithm.
// SHA-256, SHA-512 and BLAKE2b stand against an adversary who chooses a
// file's content; XXH128 is fast but not built for that.
enum class EChecksum {
    None,
    XXH128,   // XXH128="<32 hex digits>": XXH3's 128-bit hash
    SHA256,   // SHA256="<64 hex digits>", as sha256sum prints it
    SHA512,   // SHA512="<128 hex digits>", as sha512sum prints it
    BLAKE2b,  // BLAKE2b="<128 hex digits>": BLAKE2b-512, as b2sum prints it
};

// The name an algorithm is recorded and given under ("none", "xxh128",
// "sha256", "sha512", "blake2b").
CX_EXPORT const char* ChecksumName(EChecksum checksum);
// False when `name` names no algorithm.
CX_EXPORT bool ChecksumFromName(const string& name, EChecksum& checksum);
// The attribute that holds the digest ("SHA256"); empty for None.
CX_EXPORT const char* ChecksumAttribute(EChecksum checksum);
// Whether `key` is the attribute of a digest algorithm.
CX_EXPORT bool IsChecksumAttribute(const string& key);

struct CX_EXPORT SIndexSettings {
    EChecksum checksum = EChecksum::None;
    bool oneFileSystem = false;  // folders on another device than the root are left out
    CExcludeRules excludes;      // entries left out, with what lies below them
    // Files marked Collect="true": a pattern with a "/" is matched against
    // the whole path, any other against the name (fnmatch(3)).
    std::vector<std::string> collects;
    // Extended attributes: capabilities, ACLs, the SELinux label and any
    // other the walk can read (ExtendedAttributes.h).
    bool xattrs = true;
    // What matters path by path: what is left out, digested, compared.
    CPathPolicy policy;
};

// What the rows of a snapshot record beyond type, size, mtime, mode, owner,
// group, inode, device and link target, so that a comparison can tell
// "none" (the snapshot records the attribute where there is one) from "not
// recorded" (a snapshot of an older version, or taken without it).
struct CX_EXPORT SRecordedAttributes {
    bool statusChange = false;  // CTime, and Nlink of what is not a folder
    bool flags = false;         // Flags, where any is set
    bool xattrs = false;        // Caps, ACL, DefaultACL, SELinux, Xattr.*, where there are some
    EChecksum checksum = EChecksum::None;
    // The identities of the file systems the Inode values' device numbers
    // stand for, where they have one ("uuid:<hex>"): a device number two
    // file systems had in turn tells no moved entry.
    std::vector<std::pair<uint64_t, std::string>> fileSystems;
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

// What the snapshot's rows record; a container that says nothing records
// the attributes every version has (and the digest its "Checksum" names).
// Error 13 as above for a record that cannot be read.
CX_EXPORT CKoError ReadRecordedAttributes(CContentContainerDatabase& db, SRecordedAttributes& recorded);

}  // namespace CX
