// Operations on "/"-delimited paths. Folder names in a container end with "/";
// these helpers treat "a/b" and "a/b/" as the same path wherever a comparison
// is made, and never touch the file system except MakeAbsolutePath (which
// reads the current directory).
#pragma once

#include "Export.h"
#include "KoError.h"

#include <string>
#include <vector>

class CX_EXPORT FXPath {
public:
    static constexpr char Delimiter = '/';

    // "/a/b/c" -> "/a/b" and "c"; "/a/b/" -> "/a" and "b"; "/c" -> "/" and "c";
    // "c" -> "" and "c". An empty path is error 87.
    static CKoError SplitParentPath(const std::string& path, std::string& parent, std::string& name);
    // Joins `component` to `path` with exactly one delimiter between them; an
    // empty path becomes the component. `flags` is reserved (pass 0).
    static CKoError Append(std::string& path, const std::string& component, int flags);
    // Appends "/" unless the path already ends with it ("" becomes "/").
    static CKoError AppendTrailingDelimiter(std::string& path);
    // The absolute, lexically normal form of `path`, relative to the current
    // directory. An empty path is error 87.
    static CKoError MakeAbsolutePath(const std::string& path, std::string& absolute);
    // True when `ancestor` is a proper ancestor of `path`, or, with `orSelf`,
    // the same path. Trailing delimiters are ignored; an empty text is no path.
    static bool IsAncestorOf(const std::string& ancestor, const std::string& path, bool orSelf);
    static bool IsDescendantOf(const std::string& path, const std::string& ancestor, bool orSelf)
    {
        return IsAncestorOf(ancestor, path, orSelf);
    }
    // Byte-for-byte equality that ignores only a trailing delimiter.
    static bool IsSamePathAs(const std::string& a, const std::string& b);
    // Lists the ancestors of `path`, outermost first, each in folder name form
    // (ending with "/"): "/a/b/c/" gives "/", "/a/", "/a/b/"; "a/b/" gives "a/".
    // With flags 1 the path itself is left out, with 0 it comes last. `root`
    // names an outermost path that is not listed (pass "/" to leave out the
    // file system root); a root that is no ancestor of the path changes nothing.
    static CKoError SplitPaths(const std::string& path, const std::string& root, std::vector<std::string>& components,
                               int flags);
};
