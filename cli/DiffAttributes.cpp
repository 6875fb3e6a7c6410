#include "DiffAttributes.h"

#include "Output.h"

#include <algorithm>
#include <cctype>

namespace cxcli {

namespace {

std::string Lower(const std::string& text)
{
    std::string out = text;
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// Attributes whose values are whole numbers.
bool IsNumeric(const std::string& key)
{
    return key == "Size" || key == "Uid" || key == "Gid" || key == "Rdev";
}

// A decimal integer that JSON carries exactly: no sign but "-", no leading zero.
bool IsJsonInteger(const std::string& value)
{
    const size_t start = !value.empty() && value[0] == '-' ? 1 : 0;
    const size_t digits = value.size() - start;
    if (digits == 0 || digits > 18 || (digits > 1 && value[start] == '0'))
        return false;
    return std::all_of(value.begin() + static_cast<long>(start), value.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
}

std::string JsonValue(const char* name, const std::string& key, const std::string& value)
{
    if (IsNumeric(key) && IsJsonInteger(value))
        return std::string("\"") + name + "\":" + value;
    return JsonMember(name, &value);
}

std::string ShownValue(const std::string& value)
{
    return value.empty() ? std::string("\"\"") : EscapeLine(value);
}

}  // namespace

const std::string* FindAttribute(const std::vector<CX::SAttribute>& attributes, const std::string& key)
{
    for (const auto& attribute : attributes)
        if (attribute.key == key)
            return &attribute.value;
    return nullptr;
}

std::string AttributeName(const std::string& key)
{
    return key == "XXH128" ? std::string("digest") : Lower(key);
}

AttributeComparer::AttributeComparer(const std::vector<std::string>& ignored, bool folderMTime)
    : folderMTime_(folderMTime)
{
    for (const auto& name : ignored)
        ignored_.push_back(Lower(name));
}

bool AttributeComparer::Ignored(const std::string& key, bool folder) const
{
    if (key == "Inode")
        return true;
    if (folder && key == "MTime" && !folderMTime_)
        return true;
    if (ignored_.empty())
        return false;
    const std::string name = AttributeName(key);
    const std::string lower = Lower(key);
    return std::any_of(ignored_.begin(), ignored_.end(),
                       [&](const std::string& ignored) { return ignored == name || ignored == lower; });
}

bool AttributeComparer::Compare(const std::string& before, const std::string& after, bool folder,
                                std::vector<AttributeChange>& changes)
{
    changes.clear();
    if (before == after)
        return false;
    if (!CX::CAttributeSet::Parse(before, before_) || !CX::CAttributeSet::Parse(after, after_))
        return true;
    bool shared = false;
    for (const auto& attribute : before_) {
        const std::string* other = FindAttribute(after_, attribute.key);
        if (other == nullptr) {
            if (!Ignored(attribute.key, folder))
                notCompared.insert(attribute.key);
            continue;
        }
        shared = true;
        if (*other != attribute.value && !Ignored(attribute.key, folder))
            changes.push_back({attribute.key, attribute.value, *other});
    }
    for (const auto& attribute : after_)
        if (FindAttribute(before_, attribute.key) == nullptr && !Ignored(attribute.key, folder))
            notCompared.insert(attribute.key);
    return !changes.empty() || !shared;
}

std::string TextChanges(const std::vector<AttributeChange>& changes)
{
    std::string out;
    for (const auto& change : changes) {
        out += '\t';
        out += EscapeLine(AttributeName(change.key));
        out += ' ';
        out += ShownValue(change.before);
        out += "->";
        out += ShownValue(change.after);
    }
    return out;
}

std::string JsonChanges(const std::vector<AttributeChange>& changes)
{
    std::string out = "\"changes\":{";
    bool first = true;
    for (const auto& change : changes) {
        if (!first)
            out += ',';
        first = false;
        out += JsonString(AttributeName(change.key));
        out += ":{";
        out += JsonValue("old", change.key, change.before);
        out += ',';
        out += JsonValue("new", change.key, change.after);
        out += '}';
    }
    return out + "}";
}

}  // namespace cxcli
