// Exclude rules: parsing a line into a rule, and matching a path against the
// rules, last rule first.
#include "ExcludeRuleList.h"

#include <fnmatch.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace CX::walk {

namespace {

// The length of `line` without its trailing spaces, except those escaped
// with a backslash.
size_t WithoutTrailingSpaces(const std::string& line)
{
    size_t end = line.size();
    while (end > 0 && line[end - 1] == ' ') {
        size_t backslashes = 0;
        while (backslashes < end - 1 && line[end - 2 - backslashes] == '\\')
            ++backslashes;
        if (backslashes % 2 == 1)
            break;
        --end;
    }
    return end;
}

// What getline(3) reads into, freed at the end.
struct LineBuffer {
    char* data = nullptr;
    size_t capacity = 0;
    LineBuffer() = default;
    LineBuffer(const LineBuffer&) = delete;
    LineBuffer& operator=(const LineBuffer&) = delete;
    ~LineBuffer() { std::free(data); }
};

bool EndsWithLoneBackslash(const std::string& text)
{
    size_t backslashes = 0;
    while (backslashes < text.size() && text[text.size() - 1 - backslashes] == '\\')
        ++backslashes;
    return backslashes % 2 == 1;
}

}  // namespace

bool ExcludeRuleList::AddLine(const std::string& line, std::string& problem)
{
    if (line.find('\n') != std::string::npos || line.find('\0') != std::string::npos) {
        problem = "a rule cannot hold a line break or a NUL byte";
        return false;
    }
    if (line.empty() || line[0] == '#')
        return true;
    std::string pattern = line.substr(0, WithoutTrailingSpaces(line));
    if (pattern.empty())
        return true;

    Rule rule;
    rule.source = line;
    if (pattern[0] == '!') {
        rule.negated = true;
        pattern.erase(0, 1);
    }
    if (!pattern.empty() && pattern.back() == '/') {
        rule.folderOnly = true;
        pattern.pop_back();
    }
    if (!pattern.empty() && pattern[0] == '/') {
        rule.anchored = true;
        pattern.erase(0, 1);
    }
    if (pattern.find('/') != std::string::npos)
        rule.anchored = true;
    if (EndsWithLoneBackslash(pattern)) {
        problem = "the rule ends with a lone backslash";
        return false;
    }

    for (size_t start = 0; start <= pattern.size();) {
        size_t slash = pattern.find('/', start);
        if (slash == std::string::npos)
            slash = pattern.size();
        std::string text = pattern.substr(start, slash - start);
        start = slash + 1;
        if (text.empty())
            continue;
        Segment segment{Segment::kGlob, text};
        if (rule.anchored && text == "**") {
            if (!rule.segments.empty() && rule.segments.back().kind == Segment::kAnyDepth)
                continue;
            segment.kind = Segment::kAnyDepth;
        } else if (text.find_first_of("*?[\\") == std::string::npos) {
            segment.kind = Segment::kLiteral;
        }
        rule.segments.push_back(std::move(segment));
    }
    if (rule.segments.empty()) {
        problem = "the rule names nothing";
        return false;
    }
    // "a/**" is what lies below a: at least one more component.
    if (rule.segments.back().kind == Segment::kAnyDepth)
        rule.segments.insert(rule.segments.end() - 1, Segment{Segment::kAnyOne, std::string()});
    rules_.push_back(std::move(rule));
    return true;
}

bool ExcludeRuleList::AddPattern(const std::string& pattern, std::string& problem)
{
    const size_t count = rules_.size();
    if (!AddLine(pattern, problem))
        return false;
    if (rules_.size() == count) {
        problem = pattern.empty() || pattern[0] != '#' ? "the pattern is blank"
                                                       : "a pattern starting with # is a comment (a backslash before the # makes it a name)";
        return false;
    }
    return true;
}

bool ExcludeRuleList::AddFile(const std::string& path, std::string& problem)
{
    const bool standardInput = path == "-";
    FILE* file = standardInput ? stdin : std::fopen(path.c_str(), "re");
    if (file == nullptr) {
        problem = std::strerror(errno);
        return false;
    }
    std::unique_ptr<FILE, int (*)(FILE*)> closer(standardInput ? nullptr : file, std::fclose);
    LineBuffer buffer;
    unsigned long number = 0;
    for (;;) {
        errno = 0;
        const ssize_t length = getline(&buffer.data, &buffer.capacity, file);
        if (length < 0) {
            if (std::ferror(file) != 0) {
                problem = std::strerror(errno != 0 ? errno : EIO);
                return false;
            }
            return true;
        }
        ++number;
        std::string line(buffer.data, static_cast<size_t>(length));
        if (!line.empty() && line.back() == '\n')
            line.pop_back();
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::string lineProblem;
        if (!AddLine(line, lineProblem)) {
            problem = "line " + std::to_string(number) + ": " + lineProblem;
            return false;
        }
    }
}

bool ExcludeRuleList::Excluded(const char* path, bool isFolder) const
{
    const size_t length = std::strlen(path);
    for (auto rule = rules_.rbegin(); rule != rules_.rend(); ++rule)
        if (Matches(*rule, path, length, isFolder))
            return !rule->negated;
    return false;
}

std::string ExcludeRuleList::Text() const
{
    std::string text;
    for (const auto& rule : rules_) {
        text += rule.source;
        text += '\n';
    }
    return text;
}

bool ExcludeRuleList::SegmentMatches(const Segment& segment, const char* component, size_t length)
{
    switch (segment.kind) {
    case Segment::kLiteral:
        return length == segment.text.size() && std::memcmp(component, segment.text.data(), length) == 0;
    case Segment::kAnyOne:
        return true;
    case Segment::kAnyDepth:
        return false;
    case Segment::kGlob:
        break;
    }
    if (component[length] == '\0')
        return fnmatch(segment.text.c_str(), component, 0) == 0;
    const std::string copy(component, length);
    return fnmatch(segment.text.c_str(), copy.c_str(), 0) == 0;
}

bool ExcludeRuleList::Matches(const Rule& rule, const char* path, size_t length, bool isFolder)
{
    if (rule.folderOnly && !isFolder)
        return false;
    if (!rule.anchored) {
        const char* slash = std::strrchr(path, '/');
        const char* name = slash != nullptr ? slash + 1 : path;
        return SegmentMatches(rule.segments.front(), name, length - static_cast<size_t>(name - path));
    }
    // Components against segments, where "**" takes any number of
    // components: it first takes none, and one more each time what follows
    // fails. Only the latest "**" is ever given more.
    const std::vector<Segment>& segments = rule.segments;
    const size_t count = segments.size();
    auto componentEnd = [path, length](size_t start) {
        const void* slash = std::memchr(path + start, '/', length - start);
        return slash != nullptr ? static_cast<size_t>(static_cast<const char*>(slash) - path) : length;
    };
    size_t next = 0;   // segment
    size_t start = 0;  // where the component begins; past `length` when all are matched
    bool anyDepth = false;
    size_t afterAnyDepth = 0;
    size_t anyDepthStart = 0;
    while (start <= length) {
        if (next < count && segments[next].kind == Segment::kAnyDepth) {
            anyDepth = true;
            afterAnyDepth = ++next;
            anyDepthStart = start;
            continue;
        }
        const size_t end = componentEnd(start);
        if (next < count && SegmentMatches(segments[next], path + start, end - start)) {
            ++next;
            start = end + 1;
            continue;
        }
        if (!anyDepth)
            return false;
        anyDepthStart = componentEnd(anyDepthStart) + 1;
        start = anyDepthStart;
        next = afterAnyDepth;
    }
    while (next < count && segments[next].kind == Segment::kAnyDepth)
        ++next;
    return next == count;
}

}  // namespace CX::walk
