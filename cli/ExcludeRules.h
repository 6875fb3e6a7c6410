// The rules that leave paths out of a snapshot, one pattern per rule, with
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

#include <cstdint>
#include <string>
#include <vector>

namespace cxcli {

class ExcludeRules {
public:
    // Adds one line of rules text; blank lines and comments add nothing.
    // False with `problem` set when the line cannot be a rule.
    bool AddLine(const std::string& line, std::string& problem);
    // Adds a pattern given on its own, which must make a rule: blank ones
    // and comments are refused rather than ignored.
    bool AddPattern(const std::string& pattern, std::string& problem);
    // Adds the lines of a rules file ("-": standard input). False with
    // `problem` set when it cannot be read or a line cannot be a rule.
    bool AddFile(const std::string& path, std::string& problem);

    bool Empty() const { return rules_.empty(); }

    // Whether an entry is left out. `path` is relative to DIR, without a
    // leading or trailing "/" ("src/main.o").
    bool Excluded(const char* path, bool isFolder) const;

    // The rules as they were written, one per line: AddLine on each gives
    // the same rules back.
    std::string Text() const;

private:
    struct Segment {
        enum Kind : uint8_t { kLiteral, kGlob, kAnyOne, kAnyDepth };
        Kind kind;
        std::string text;
    };
    struct Rule {
        std::string source;
        bool negated = false;
        bool folderOnly = false;
        bool anchored = false;  // false: matches the last component only
        std::vector<Segment> segments;
    };

    static bool SegmentMatches(const Segment& segment, const char* component, size_t length);
    static bool Matches(const Rule& rule, const char* path, size_t length, bool isFolder);

    std::vector<Rule> rules_;
};

}  // namespace cxcli
