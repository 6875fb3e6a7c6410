// What a walk of a tree hands on, and how to run one.
//
// The walk delivers each folder (its absolute path ending with "/") and then
// its files by name, files in byte order of their names and folders in the
// container's own folder order: the order in which a container reads its
// rows back. A sink may write them (TreeWriter.h) or compare them with a
// container without writing anything.
#pragma once

#include "EntryStatus.h"
#include "ExcludeRuleList.h"
#include "IndexSettings.h"
#include "PathPolicy.h"
#include "KoError.h"

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <string_view>
#include <vector>

namespace CX::walk {

class OwnFiles;

// Where the walk's folders and files go, one after the other on the thread
// that runs Walk. An error ends the walk with that error.
class TreeSink {
public:
    virtual ~TreeSink() = default;
    // `whole`: its files follow in byte order of their names. A folder too
    // large for one listing has them come in several such runs, and may be
    // amended after some of them.
    virtual CKoError Folder(std::string_view path, std::string_view metadata, bool whole) = 0;
    // New metadata for the folder handed on last: it could not be read to
    // the end after its first files had gone on.
    virtual CKoError AmendFolder(std::string_view metadata) = 0;
    virtual CKoError File(std::string_view name, std::string_view metadata) = 0;
};

// What the walk tells whoever runs it.
class WalkReport {
public:
    virtual ~WalkReport() = default;
    // An entry that vanished, or (`problem`) one that could not be read and
    // is recorded with Unreadable="<cause>". Called on the walk's own
    // threads, possibly two at once.
    virtual void Warning(const std::string& path, const char* what, const char* cause, bool problem) = 0;
    // Called on the thread that runs Walk between batches and every so often
    // while it waits; true stops the walk: what was read still goes to the
    // sink, but nothing more is read.
    virtual bool Poll() = 0;
};

struct WalkOptions {
    ExcludeRuleList excludes;           // entries left out, with what lies below them
    std::string root;                   // what the rules' paths are relative to
    std::vector<std::string> collects;  // files marked Collect="true"
    EChecksum checksum = EChecksum::None;  // a digest of each regular file
    CPathPolicy policy;                    // what is left out and digested, path by path
    // The algorithm of the digests the policy asks for: the checksum's, or
    // SHA-256 without one.
    EChecksum policyChecksum = EChecksum::SHA256;
    bool oneFileSystem = false;         // no folder on another device than the root
    bool xattrs = false;                // extended attributes (ExtendedAttributes.h)
    // The snapshot an update starts from, whose digests of files that did
    // not change are taken over (PreviousDigests.h); empty: none.
    std::string reuseDigestsFrom;
    std::map<uint64_t, std::string> previousFileSystems;  // its file systems' identities
};

struct WalkOutcome {
    unsigned long long warnings = 0;
    unsigned long long problems = 0;  // entries recorded as unreadable (among the warnings)
    bool stopped = false;             // Poll asked for the end
    // The file systems the walk passed through that have an identity.
    std::vector<std::pair<uint64_t, std::string>> fileSystems;
    unsigned long long digestsTaken = 0;   // files read for their digest
    unsigned long long digestsReused = 0;  // digests taken over from the snapshot updated
};

// Walks `root` (absolute, ending with "/", described by `rootStatus`) on
// threads of its own and hands everything to `sink` on this thread. An
// exception of the walk passes out once its threads have ended. A root gone
// before it was read is error 2 (ERROR_FILE_NOT_FOUND), after one "vanished"
// warning.
CKoError Walk(const WalkOptions& options, const OwnFiles& own, const std::string& root,
              const EntryStatus& rootStatus, TreeSink& sink, WalkReport& report, WalkOutcome& outcome);

}  // namespace CX::walk
