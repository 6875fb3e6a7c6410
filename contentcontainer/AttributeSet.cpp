#include "AttributeSet.h"

#include "AttributeList.h"
#include "Escape.h"

#include <boost/make_shared.hpp>

#include <utility>

namespace CX {

class CAttributeSetPrivate {
public:
    std::vector<SAttribute> attributes;

    const SAttribute* Find(const std::string& key) const
    {
        for (const auto& attribute : attributes)
            if (attribute.key == key)
                return &attribute;
        return nullptr;
    }
};

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

// Undoes the escapes of a stored value; false on one that is not ours.
bool Unescape(std::string_view stored, std::string& value)
{
    value.clear();
    for (size_t i = 0; i < stored.size(); ++i) {
        const char c = stored[i];
        if (c != '\\') {
            value += c;
            continue;
        }
        if (++i >= stored.size())
            return false;
        switch (stored[i]) {
        case '\\': value += '\\'; break;
        case '"': value += '"'; break;
        case 'n': value += '\n'; break;
        case 'r': value += '\r'; break;
        case 't': value += '\t'; break;
        case 'x': {
            const int high = i + 2 < stored.size() ? HexDigit(stored[i + 1]) : -1;
            const int low = high >= 0 ? HexDigit(stored[i + 2]) : -1;
            if (low < 0)
                return false;
            value += static_cast<char>(high * 16 + low);
            i += 2;
            break;
        }
        default: return false;
        }
    }
    return true;
}

bool ParseList(const std::string& text, std::vector<SAttribute>& attributes)
{
    attributes.clear();
    return ForEachStoredAttribute(text, [&](std::string_view key, std::string_view stored, bool escaped) {
        SAttribute attribute;
        attribute.key.assign(key);
        if (escaped) {
            if (!Unescape(stored, attribute.value))
                return false;
        } else {
            attribute.value.assign(stored);
        }
        attributes.push_back(std::move(attribute));
        return true;
    });
}

}  // namespace

CAttributeSet::CAttributeSet() : d(boost::make_shared<CAttributeSetPrivate>()) {}

CAttributeSet::CAttributeSet(const CAttributeSet& other) : d(boost::make_shared<CAttributeSetPrivate>(*other.d)) {}

CAttributeSet& CAttributeSet::operator=(const CAttributeSet& other)
{
    if (this != &other)
        d->attributes = other.d->attributes;
    return *this;
}

CAttributeSet::~CAttributeSet() {}

bool CAttributeSet::Parse(const string& text, std::vector<SAttribute>& attributes)
{
    if (ParseList(text, attributes))
        return true;
    attributes.clear();
    return false;
}

CKoError CAttributeSet::Parse(const string& text)
{
    if (!Parse(text, d->attributes))
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_DATA, "not an attribute list");
    return CKoError::Success();
}

void CAttributeSet::AppendEscaped(std::string& out, std::string_view value)
{
    FX::AppendEscaped(out, value, true);
}

std::string CAttributeSet::Format() const
{
    std::string out;
    for (const auto& attribute : d->attributes) {
        if (!out.empty())
            out += ' ';
        out += attribute.key;
        out += "=\"";
        AppendEscaped(out, attribute.value);
        out += '"';
    }
    return out;
}

const std::vector<SAttribute>& CAttributeSet::Attributes() const
{
    return d->attributes;
}

bool CAttributeSet::Get(const string& key, std::string& value) const
{
    const SAttribute* attribute = d->Find(key);
    if (attribute == nullptr)
        return false;
    value = attribute->value;
    return true;
}

CKoError CAttributeSet::Set(const string& key, const string& value)
{
    if (key.empty() || key.find_first_of(" =\"\\") != std::string::npos)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_PARAMETER, "not an attribute key");
    for (auto& attribute : d->attributes) {
        if (attribute.key == key) {
            attribute.value = value;
            return CKoError::Success();
        }
    }
    d->attributes.push_back(SAttribute{key, value});
    return CKoError::Success();
}

bool CAttributeSet::Remove(const string& key)
{
    for (auto attribute = d->attributes.begin(); attribute != d->attributes.end(); ++attribute) {
        if (attribute->key == key) {
            d->attributes.erase(attribute);
            return true;
        }
    }
    return false;
}

std::vector<SAttributeChange> CAttributeSet::Compare(const CAttributeSet& newer) const
{
    std::vector<SAttributeChange> changes;
    for (const auto& attribute : d->attributes) {
        if (d->Find(attribute.key) != &attribute)
            continue;  // a later attribute of the same key
        const SAttribute* other = newer.d->Find(attribute.key);
        if (other == nullptr)
            changes.push_back(SAttributeChange{attribute.key, attribute.value, std::string(), true, false});
        else if (other->value != attribute.value)
            changes.push_back(SAttributeChange{attribute.key, attribute.value, other->value, true, true});
    }
    for (const auto& attribute : newer.d->attributes)
        if (newer.d->Find(attribute.key) == &attribute && d->Find(attribute.key) == nullptr)
            changes.push_back(SAttributeChange{attribute.key, std::string(), attribute.value, false, true});
    return changes;
}

}  // namespace CX
