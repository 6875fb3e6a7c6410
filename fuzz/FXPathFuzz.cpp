// FXPath's operations on arbitrary byte strings: nothing may crash or read
// out of bounds, and the relations the header promises must hold.
#include "FXPath.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

[[noreturn]] void Fail(const char* what, const std::string& path)
{
    std::fprintf(stderr, "FXPath property broken: %s (%zu bytes)\n", what, path.size());
    std::abort();
}

bool EndsWithDelimiter(const std::string& text) { return !text.empty() && text.back() == FXPath::Delimiter; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Two paths: the input up to its first NUL, and what follows it.
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t cut = input.find('\0');
    const std::string path = input.substr(0, cut);
    const std::string other = cut == std::string::npos ? std::string() : input.substr(cut + 1);

    std::string parent;
    std::string name;
    const CKoError split = FXPath::SplitParentPath(path, parent, name);
    if (split.IsError() != path.empty())
        Fail("SplitParentPath fails exactly on an empty path", path);
    if (!path.empty()) {
        if (name.find(FXPath::Delimiter) != std::string::npos)
            Fail("a name holds a delimiter", path);
        // A path without doubled or trailing delimiters is its parent and name joined.
        if (!EndsWithDelimiter(path) && path.find("//") == std::string::npos && !name.empty()) {
            std::string joined = parent;
            FXPath::Append(joined, name, 0);
            if (joined != path)
                Fail("parent and name do not join back to the path", path);
            if (!parent.empty() && !FXPath::IsAncestorOf(parent, path, false))
                Fail("the parent is no ancestor", path);
        }
    }

    std::string withDelimiter = path;
    FXPath::AppendTrailingDelimiter(withDelimiter);
    if (!EndsWithDelimiter(withDelimiter))
        Fail("AppendTrailingDelimiter leaves no delimiter", path);
    if (!path.empty() && !FXPath::IsSamePathAs(withDelimiter, path))
        Fail("a trailing delimiter makes another path", path);

    if (FXPath::IsSamePathAs(path, other) != FXPath::IsSamePathAs(other, path))
        Fail("IsSamePathAs is not symmetric", path);
    if (FXPath::IsAncestorOf(path, other, false) && FXPath::IsAncestorOf(other, path, false))
        Fail("two paths are each other's proper ancestor", path);
    if (FXPath::IsAncestorOf(path, other, false) && !FXPath::IsAncestorOf(path, other, true))
        Fail("a proper ancestor is not an ancestor or self", path);

    std::string appended = path;
    FXPath::Append(appended, other, 0);
    if (!path.empty() && appended.compare(0, path.size() - (EndsWithDelimiter(path) ? 1 : 0),
                                          path, 0, path.size() - (EndsWithDelimiter(path) ? 1 : 0)) != 0)
        Fail("Append changes the path it appends to", path);

    std::vector<std::string> components;
    FXPath::SplitPaths(path, other, components, 1);
    for (const std::string& component : components) {
        if (!EndsWithDelimiter(component))
            Fail("an ancestor is not in folder name form", path);
        if (!FXPath::IsAncestorOf(component, path, false))
            Fail("SplitPaths lists a path that is no proper ancestor", path);
    }
    FXPath::SplitPaths(path, std::string(), components, 0);

    std::string absolute;
    FXPath::MakeAbsolutePath(path, absolute);
    return 0;
}
