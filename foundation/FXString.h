// Byte-string helpers. Texts are std::string and may hold any bytes, NUL
// included; "case" always means ASCII letters only.
#pragma once

#include "Export.h"

#include <cstdint>
#include <string>

class CX_EXPORT FXString {
public:
    // True when `text` ends with `ending`, byte for byte.
    static bool MatchRight(const std::string& text, const std::string& ending);
    // Whole-text equality ignoring ASCII case.
    static bool MatchesNoCase(const std::string& a, const std::string& b);
    // Position of `pattern` in `text`, or -1. `ignoreCase` folds ASCII letters.
    static int64_t FindStringPos(const std::string& text, const std::string& pattern, bool ignoreCase);
    // Byte order of file names: bytes as unsigned, a prefix first (the order of
    // SQLite's BINARY collation). Negative, zero or positive.
    static int CompareFSCase(const std::string& a, const std::string& b);
};
