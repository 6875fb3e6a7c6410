// CX::CPathPolicy: what matters, path by path. A snapshot of a server holds
// logs that grow, configuration that must be hashed and folders that are
// only watched for their owners; one rule per line says so:
//
//   /var/log/**      -size -mtime -ctime -digest
//   /etc/**          +digest
//   /home/           exclude
//
// A line is a PATTERN, read as an exclude rule reads it (CExcludeRules:
// relative to the snapshot's folder), then what to do below it:
//   -NAME      leave the attribute out of the comparison (names as reports
//              name them: size, mtime, ctime, mode, uid, gid, nlink, type,
//              target, rdev, flags, caps, acl, default_acl, selinux,
//              xattr.NAME, digest)
//   +NAME      compare it again
//   +digest    digest the contents (with the snapshot's algorithm, SHA-256
//              when it takes none)
//   -digest    neither digest the contents nor compare digests
//   exclude    leave the path out of the snapshot
// Blank lines and lines starting with "#" are skipped. The last rule that
// matches a path decides, for each attribute and for digests on its own.
#pragma once

#include "Export.h"
#include "KoError.h"

#include <boost/shared_ptr.hpp>

namespace CX {

class CPathPolicyPrivate;

class CX_EXPORT CPathPolicy {
public:
    CPathPolicy();
    ~CPathPolicy();
    // A copy has rules of its own.
    CPathPolicy(const CPathPolicy& other);
    CPathPolicy& operator=(const CPathPolicy& other);

    // Adds one line; blank lines and comments add nothing. False with
    // `problem` set when the line cannot be a rule.
    bool AddLine(const string& line, string& problem);
    // Adds the lines of a policy file ("-": standard input); a problem names
    // the line.
    bool AddFile(const string& path, string& problem);

    bool Empty() const;
    // The rules as they were written, one per line.
    string Text() const;

    // What the rules say of the entry at `path`: relative to the snapshot's
    // folder, without a leading or trailing "/" ("etc/passwd").
    // Whether a comparison compares the attribute `name`.
    bool Compares(const char* path, bool isFolder, const string& name) const;
    // Whether the contents of the file are digested; `byDefault` when no
    // rule says.
    bool Digests(const char* path, bool byDefault) const;
    // Whether the entry is left out of a snapshot.
    bool Excludes(const char* path, bool isFolder) const;
    // Whether some rule digests contents.
    bool DigestsSomewhere() const;

private:
    friend class CPathPolicyPrivate;
    boost::shared_ptr<CPathPolicyPrivate> d;
};

}  // namespace CX
