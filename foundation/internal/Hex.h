// Hexadecimal digits, for escapes (upper case, "\x7F", "%2F") and for digests
// (lower case, as sha256sum prints them).
#pragma once

#include <cstddef>
#include <string>

namespace FX {

inline constexpr char kHexUpper[] = "0123456789ABCDEF";
inline constexpr char kHexLower[] = "0123456789abcdef";

// Appends two lower-case hex digits per byte.
inline void AppendHex(std::string& out, const unsigned char* bytes, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        out += kHexLower[bytes[i] >> 4];
        out += kHexLower[bytes[i] & 15];
    }
}

}  // namespace FX
