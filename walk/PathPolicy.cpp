#include "PathPolicy.h"

#include "PathPolicyPrivate.h"

#include <boost/make_shared.hpp>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace CX {

namespace {

// The attributes a rule can name, as reports name them.
const char* const kNames[] = {"size", "mtime", "ctime", "mode", "uid", "gid", "nlink", "type", "target",
                              "rdev", "flags", "caps", "acl", "default_acl", "selinux", "digest"};

bool KnownName(const std::string& name)
{
    if (name.compare(0, 6, "xattr.") == 0 && name.size() > 6)
        return true;
    for (const char* known : kNames)
        if (name == known)
            return true;
    return false;
}

// Splits a line into words at unescaped blanks; a backslash keeps the
// character after it in the word, and stays for the pattern to read.
std::vector<std::string> Words(const std::string& line)
{
    std::vector<std::string> words;
    std::string word;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\\' && i + 1 < line.size()) {
            word += c;
            word += line[++i];
        } else if (c == ' ' || c == '\t') {
            if (!word.empty())
                words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty())
        words.push_back(word);
    return words;
}

}  // namespace

CPathPolicy::CPathPolicy() : d(boost::make_shared<CPathPolicyPrivate>()) {}

CPathPolicy::~CPathPolicy() = default;

CPathPolicy::CPathPolicy(const CPathPolicy& other) : d(boost::make_shared<CPathPolicyPrivate>(*other.d)) {}

CPathPolicy& CPathPolicy::operator=(const CPathPolicy& other)
{
    if (this != &other)
        d = boost::make_shared<CPathPolicyPrivate>(*other.d);
    return *this;
}

bool CPathPolicy::AddLine(const string& line, string& problem)
{
    if (line.find('\n') != std::string::npos || line.find('\0') != std::string::npos) {
        problem = "a rule cannot hold a line break or a NUL byte";
        return false;
    }
    const std::vector<std::string> words = Words(line);
    if (words.empty() || words[0][0] == '#')
        return true;
    CPathPolicyPrivate::Rule rule;
    rule.source = line;
    if (words[0][0] == '!') {
        problem = "a policy pattern cannot start with \"!\" (a backslash before it makes it a name)";
        return false;
    }
    if (!rule.pattern.AddPattern(words[0], problem))
        return false;
    if (words.size() == 1) {
        problem = "the rule says nothing to do below " + words[0];
        return false;
    }
    for (size_t i = 1; i < words.size(); ++i) {
        const std::string& action = words[i];
        if (action == "exclude") {
            rule.exclude = true;
        } else if (action == "+digest" || action == "-digest") {
            rule.digest = action[0] == '+' ? 1 : 0;
            rule.attributes.emplace_back("digest", action[0] == '+');
        } else if ((action[0] == '-' || action[0] == '+') && KnownName(action.substr(1))) {
            rule.attributes.emplace_back(action.substr(1), action[0] == '+');
        } else {
            problem = "no such action: \"" + action +
                      "\" (exclude, +digest, -digest, or -NAME and +NAME with the names reports use)";
            return false;
        }
    }
    d->digestsSomewhere = d->digestsSomewhere || rule.digest == 1;
    d->rules.push_back(std::move(rule));
    return true;
}

bool CPathPolicy::AddFile(const string& path, string& problem)
{
    const bool standardInput = path == "-";
    FILE* file = standardInput ? stdin : std::fopen(path.c_str(), "re");
    if (file == nullptr) {
        problem = std::strerror(errno);
        return false;
    }
    const std::unique_ptr<FILE, int (*)(FILE*)> closer(standardInput ? nullptr : file, std::fclose);
    char* buffer = nullptr;
    size_t capacity = 0;
    const std::unique_ptr<char*, void (*)(char**)> freeBuffer(&buffer, [](char** p) { std::free(*p); });
    for (unsigned long number = 1;; ++number) {
        errno = 0;
        const ssize_t length = getline(&buffer, &capacity, file);
        if (length < 0) {
            if (std::ferror(file) != 0) {
                problem = std::strerror(errno != 0 ? errno : EIO);
                return false;
            }
            return true;
        }
        std::string line(buffer, static_cast<size_t>(length));
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        std::string lineProblem;
        if (!AddLine(line, lineProblem)) {
            problem = "line " + std::to_string(number) + ": " + lineProblem;
            return false;
        }
    }
}

bool CPathPolicy::Empty() const { return d->rules.empty(); }

string CPathPolicy::Text() const
{
    std::string text;
    for (const auto& rule : d->rules)
        text += rule.source + '\n';
    return text;
}

bool CPathPolicy::Compares(const char* path, bool isFolder, const string& name) const
{
    for (auto rule = d->rules.rbegin(); rule != d->rules.rend(); ++rule) {
        for (auto attribute = rule->attributes.rbegin(); attribute != rule->attributes.rend(); ++attribute)
            if (attribute->first == name && rule->pattern.Excluded(path, isFolder))
                return attribute->second;
    }
    return true;
}

bool CPathPolicy::Digests(const char* path, bool byDefault) const
{
    for (auto rule = d->rules.rbegin(); rule != d->rules.rend(); ++rule)
        if (rule->digest >= 0 && rule->pattern.Excluded(path, false))
            return rule->digest == 1;
    return byDefault;
}

bool CPathPolicy::Excludes(const char* path, bool isFolder) const
{
    for (const auto& rule : d->rules)
        if (rule.exclude && rule.pattern.Excluded(path, isFolder))
            return true;
    return false;
}

bool CPathPolicy::DigestsSomewhere() const { return d->digestsSomewhere; }

}  // namespace CX
