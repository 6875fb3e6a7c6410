// The attributes of a metadata text, as the library parses them (AttributeSet.h).
#pragma once

#include "AttributeSet.h"

#include <string>
#include <vector>

namespace cxcli {

typedef CX::SAttribute Attribute;

// False when `text` is not an attribute list (metadata another host wrote in
// its own form); an empty text is an empty list.
inline bool ParseAttributes(const std::string& text, std::vector<Attribute>& attributes)
{
    return CX::CAttributeSet::Parse(text, attributes);
}

}  // namespace cxcli
