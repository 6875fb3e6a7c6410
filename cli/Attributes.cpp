#include "Attributes.h"

#include <utility>

namespace cxcli {

namespace {
int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
}  // namespace

bool ParseAttributes(const std::string& text, std::vector<Attribute>& attributes)
{
    attributes.clear();
    size_t i = 0;
    while (i < text.size()) {
        if (!attributes.empty()) {
            if (text[i] != ' ')
                return false;
            ++i;
        }
        const size_t equals = text.find('=', i);
        if (equals == std::string::npos || equals == i || equals + 1 >= text.size() || text[equals + 1] != '"')
            return false;
        Attribute attribute;
        attribute.key.assign(text, i, equals - i);
        if (attribute.key.find_first_of(" \"\\") != std::string::npos)
            return false;
        for (i = equals + 2;; ++i) {
            if (i >= text.size())
                return false;  // no closing quote
            const char c = text[i];
            if (c == '"')
                break;
            if (c != '\\') {
                attribute.value += c;
                continue;
            }
            if (++i >= text.size())
                return false;
            switch (text[i]) {
            case '\\': attribute.value += '\\'; break;
            case '"': attribute.value += '"'; break;
            case 'n': attribute.value += '\n'; break;
            case 'r': attribute.value += '\r'; break;
            case 't': attribute.value += '\t'; break;
            case 'x': {
                const int high = i + 2 < text.size() ? HexDigit(text[i + 1]) : -1;
                const int low = high >= 0 ? HexDigit(text[i + 2]) : -1;
                if (low < 0)
                    return false;
                attribute.value += static_cast<char>(high * 16 + low);
                i += 2;
                break;
            }
            default: return false;
            }
        }
        ++i;  // past the closing quote
        attributes.push_back(std::move(attribute));
    }
    return true;
}

}  // namespace cxcli
