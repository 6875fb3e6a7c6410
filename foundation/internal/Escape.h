// The one way the library and the tool write a text on one line: backslash,
// control bytes and DEL as C escapes (\\, \n, \r, \t, \xHH), every other byte
// as it is, so that the text can be taken back byte for byte.
#pragma once

#include "Hex.h"

#include <string>
#include <string_view>

namespace FX {

// Appends `text` escaped; with `quote`, a double quote too (as \"), for a
// text that stands between quotes.
inline void AppendEscaped(std::string& out, std::string_view text, bool quote)
{
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '"':
            if (quote)
                out += '\\';
            out += '"';
            break;
        default:
            if (c < 0x20 || c == 0x7F) {
                const char hex[4] = {'\\', 'x', kHexUpper[c >> 4], kHexUpper[c & 15]};
                out.append(hex, 4);
            } else {
                out += ch;
            }
        }
    }
}

}  // namespace FX
