// CX::CExcludeRules: the rules that leave paths out of a snapshot, one pattern per rule, with
// the meaning people know from ignore files:
//
//   name        a bare name (no "/") matches an entry of that name at any depth
//   name/       a trailing "/" matches folders only
//   /name, a/b  a leading "/", or a "/" inside, anchors the pattern at DIR
//   * ? [...]   match within one path component, never across a "/"
//   **          as a whole component: any number of folders ("**/x", "a/**/b");
//               "a/**" matches everything below a, not a itself
//   !pattern    takes back what an earlier rule excluded (the last matching
//               rule decides); an entry below an excluded folder stays out,
//               as that folder is never read
//   \           escapes the next character ("\#", "\!", "\*", "\ ")
//
// In a rules file, blank lines and lines starting with "#" are skipped, and
// trailing spaces are dropped unless escaped. A pattern given on its own
// (--exclude) is read as one such line, so that the recorded rules read back
// the same way.
#pragma once

#include "Export.h"
#include "KoError.h"

#include <boost/shared_ptr.hpp>

namespace CX {

class CExcludeRulesPrivate;

class CX_EXPORT CExcludeRules {
public:
    CExcludeRules();
    ~CExcludeRules();
    // A copy has rules of its own.
    CExcludeRules(const CExcludeRules& other);
    CExcludeRules& operator=(const CExcludeRules& other);

    // Adds one line of rules text; blank lines and comments add nothing.
    // False with `problem` set when the line cannot be a rule.
    bool AddLine(const string& line, string& problem);
    // Adds a pattern given on its own, which must make a rule: blank ones
    // and comments are refused rather than ignored.
    bool AddPattern(const string& pattern, string& problem);
    // Adds the lines of a rules file ("-": standard input). False with
    // `problem` set when it cannot be read or a line cannot be a rule.
    bool AddFile(const string& path, string& problem);

    bool Empty() const;
    // Whether an entry is left out. `path` is relative to the indexed
    // folder, without a leading or trailing "/" ("src/main.o").
    bool Excluded(const char* path, bool isFolder) const;
    // The rules as they were written, one per line: AddLine on each gives
    // the same rules back.
    string Text() const;

private:
    friend class CExcludeRulesPrivate;
    boost::shared_ptr<CExcludeRulesPrivate> d;
};

}  // namespace CX
