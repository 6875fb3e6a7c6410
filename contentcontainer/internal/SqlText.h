// Values written into SQL text, for statements run through Execute, which
// takes no parameters.
#pragma once

#include "Hex.h"

#include <string>

namespace CX::sql {

// Bytes as a blob literal (X'2F61'): every byte of a path kept, and
// substr() and length() counting bytes rather than characters.
inline std::string Blob(const std::string& bytes)
{
    std::string out = "X'";
    for (const unsigned char c : bytes)
        out += {FX::kHexUpper[c >> 4], FX::kHexUpper[c & 15]};
    out += '\'';
    return out;
}

// A string literal ('it''s').
inline std::string String(const std::string& text)
{
    std::string out = "'";
    for (const char c : text) {
        if (c == '\'')
            out += '\'';
        out += c;
    }
    return out + "'";
}

}  // namespace CX::sql
