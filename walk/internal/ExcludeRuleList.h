// The exclude rules of a walk (what CExcludeRules holds): parsing lines into
// rules, and matching a path against them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace CX::walk {

class ExcludeRuleList {
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

}  // namespace CX::walk
