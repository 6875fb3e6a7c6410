#include "FXPath.h"

#include <filesystem>
#include <system_error>

namespace {
// The path without its trailing delimiters ("/" itself becomes "").
std::string_view Trimmed(const std::string& path)
{
    std::string_view view(path);
    while (!view.empty() && view.back() == FXPath::Delimiter)
        view.remove_suffix(1);
    return view;
}
}  // namespace

CKoError FXPath::SplitParentPath(const std::string& path, std::string& parent, std::string& name)
{
    if (path.empty())
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_PARAMETER, "Path is empty");
    const std::string_view trimmed = Trimmed(path);
    const size_t slash = trimmed.find_last_of(Delimiter);
    if (slash == std::string_view::npos) {
        parent.clear();
        name.assign(trimmed);
    } else {
        name.assign(trimmed.substr(slash + 1));
        // Keep the root delimiter of "/c", drop the one before "c" otherwise.
        std::string_view head = trimmed.substr(0, slash);
        while (!head.empty() && head.back() == Delimiter)
            head.remove_suffix(1);
        parent = head.empty() ? std::string(1, Delimiter) : std::string(head);
    }
    return CKoError::Success();
}

CKoError FXPath::Append(std::string& path, const std::string& component, int flags)
{
    (void)flags;
    if (path.empty()) {
        path = component;
        return CKoError::Success();
    }
    const bool pathEnds = path.back() == Delimiter;
    const bool componentStarts = !component.empty() && component.front() == Delimiter;
    if (pathEnds && componentStarts)
        path.append(component, 1, std::string::npos);
    else if (!pathEnds && !componentStarts)
        path.append(1, Delimiter).append(component);
    else
        path.append(component);
    return CKoError::Success();
}

CKoError FXPath::AppendTrailingDelimiter(std::string& path)
{
    if (path.empty() || path.back() != Delimiter)
        path.push_back(Delimiter);
    return CKoError::Success();
}

CKoError FXPath::MakeAbsolutePath(const std::string& path, std::string& absolute)
{
    if (path.empty())
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_PARAMETER, "Path is empty");
    std::error_code failure;
    const std::filesystem::path made = std::filesystem::absolute(path, failure);
    if (failure)
        return FXErrorUtil::ErrorErrno(FX_LOCATION, failure.value(), "Path=[%s]", path.c_str());
    absolute = made.lexically_normal().string();
    return CKoError::Success();
}

bool FXPath::IsAncestorOf(const std::string& ancestor, const std::string& path, bool orSelf)
{
    if (ancestor.empty() || path.empty())
        return false;
    const std::string_view a = Trimmed(ancestor);
    const std::string_view p = Trimmed(path);
    if (a.size() == p.size())
        return orSelf && a == p;
    return p.size() > a.size() && p.compare(0, a.size(), a) == 0 && p[a.size()] == Delimiter;
}

bool FXPath::IsSamePathAs(const std::string& a, const std::string& b)
{
    return Trimmed(a) == Trimmed(b) && (a.empty() == b.empty());
}

CKoError FXPath::SplitPaths(const std::string& path, const std::string& root, std::vector<std::string>& components,
                            int flags)
{
    components.clear();
    const std::string_view trimmed = Trimmed(path);
    size_t position = 0;
    if (!path.empty() && path.front() == Delimiter) {
        if (!trimmed.empty() || (flags & 1) == 0)
            components.emplace_back(1, Delimiter);
        position = 1;
    }
    while (position < trimmed.size()) {
        const size_t slash = trimmed.find(Delimiter, position);
        if (slash == std::string_view::npos)
            break;
        if (slash > position)  // skip empty components of "a//b"
            components.emplace_back(trimmed.substr(0, slash + 1));
        position = slash + 1;
    }
    if ((flags & 1) == 0 && !trimmed.empty())
        components.emplace_back(std::string(trimmed) + Delimiter);
    if (!root.empty()) {
        while (!components.empty() && IsAncestorOf(components.front(), root, true))
            components.erase(components.begin());
    }
    return CKoError::Success();
}
