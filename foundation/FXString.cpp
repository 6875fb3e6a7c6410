#include "FXString.h"

#include <algorithm>
#include <cstring>

namespace {
inline unsigned char FoldAscii(unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 0x20) : c; }
}  // namespace

bool FXString::MatchRight(const std::string& text, const std::string& ending)
{
    return text.size() >= ending.size() && text.compare(text.size() - ending.size(), ending.size(), ending) == 0;
}

bool FXString::MatchesNoCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (FoldAscii(static_cast<unsigned char>(a[i])) != FoldAscii(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

int64_t FXString::FindStringPos(const std::string& text, const std::string& pattern, bool ignoreCase)
{
    if (!ignoreCase) {
        const auto found = text.find(pattern);
        return found == std::string::npos ? -1 : static_cast<int64_t>(found);
    }
    const auto found = std::search(text.begin(), text.end(), pattern.begin(), pattern.end(), [](char x, char y) {
        return FoldAscii(static_cast<unsigned char>(x)) == FoldAscii(static_cast<unsigned char>(y));
    });
    return found == text.end() && !pattern.empty() ? -1 : static_cast<int64_t>(found - text.begin());
}

int FXString::CompareFSCase(const std::string& a, const std::string& b)
{
    const size_t common = std::min(a.size(), b.size());
    const int order = common == 0 ? 0 : std::memcmp(a.data(), b.data(), common);
    if (order != 0)
        return order;
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}
