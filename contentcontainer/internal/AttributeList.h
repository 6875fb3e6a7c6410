// The grammar of a metadata text: key="value" attributes separated by single
// spaces, a value's quote, backslash and control bytes written as escapes
// (Escape.h).
#pragma once

#include <string_view>

namespace CX {

// Walks `list` without copying it: `each(key, stored, escaped)` gets every
// key, the text of its value as it is stored (escapes not undone) and whether
// that text holds an escape, and answers false to stop the walk. False when
// the list is malformed (a key that is empty or holds a space, quote or
// backslash, a value without its closing quote, two attributes not one space
// apart) or when `each` stopped it.
template <typename Each>
bool ForEachStoredAttribute(std::string_view list, Each each)
{
    size_t i = 0;
    while (i < list.size()) {
        if (i != 0) {
            if (list[i] != ' ')
                return false;
            ++i;
        }
        const size_t equals = list.find('=', i);
        if (equals == std::string_view::npos || equals == i || equals + 1 >= list.size() || list[equals + 1] != '"')
            return false;
        const std::string_view key = list.substr(i, equals - i);
        if (key.find_first_of(" \"\\") != std::string_view::npos)
            return false;
        bool escaped = false;
        size_t end = equals + 2;
        for (;;) {
            end = list.find_first_of("\"\\", end);
            if (end == std::string_view::npos)
                return false;  // no closing quote
            if (list[end] == '"')
                break;
            escaped = true;
            end += 2;  // past the backslash and the character it escapes, which closes nothing
        }
        if (!each(key, list.substr(equals + 2, end - equals - 2), escaped))
            return false;
        i = end + 1;
    }
    return true;
}

}  // namespace CX
