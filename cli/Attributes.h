// The attributes of a metadata text as cx index writes it:
//   Type="file" Size="1234" MTime="..." Target="a \"b\""
// Key="value" pairs separated by single spaces. Inside a value a backslash and
// a double quote are escaped with a backslash, and control bytes as \n, \r,
// \t or \xHH; every other byte stands for itself.
#pragma once

#include <string>
#include <vector>

namespace cxcli {

struct Attribute {
    std::string key;
    std::string value;  // unescaped: the bytes that were recorded
};

// Parses `text` into its attributes, in order. False when the text is not
// such a list (metadata another host wrote in its own form); an empty text is
// an empty list.
bool ParseAttributes(const std::string& text, std::vector<Attribute>& attributes);

}  // namespace cxcli
