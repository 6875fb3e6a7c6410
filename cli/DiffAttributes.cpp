#include "DiffAttributes.h"

#include "Output.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cctype>
#include <strings.h>

namespace cxcli {

namespace {

std::string Lower(const std::string& text)
{
    std::string out = text;
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool IsXattr(const std::string& key) { return key.compare(0, 6, "Xattr.") == 0; }

// Attributes whose values are whole numbers.
bool IsNumeric(const std::string& key)
{
    return key == "Size" || key == "Uid" || key == "Gid" || key == "Rdev" || key == "Nlink";
}

// Whether a side that records `recorded` has `key` wherever there is one, so
// that its absence means none.
bool RecordedWherePresent(const CX::SRecordedAttributes& recorded, const std::string& key)
{
    if (key == "Flags")
        return recorded.flags;
    if (key == "Caps" || key == "ACL" || key == "DefaultACL" || key == "SELinux" || IsXattr(key))
        return recorded.xattrs;
    return false;
}

// A decimal integer of 64 bits (as sizes, ids and counts are), which JSON
// writes as a number: no sign but "-", no leading zero.
bool IsJsonInteger(const std::string& value)
{
    const bool negative = !value.empty() && value[0] == '-';
    const size_t start = negative ? 1 : 0;
    const size_t digits = value.size() - start;
    if (digits == 0 || digits > 20 || (digits > 1 && value[start] == '0') ||
        !std::all_of(value.begin() + static_cast<long>(start), value.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    errno = 0;
    char* end = nullptr;
    if (negative)
        (void)std::strtoll(value.c_str(), &end, 10);
    else
        (void)std::strtoull(value.c_str(), &end, 10);
    return errno == 0;
}

std::string JsonValue(const char* name, const std::string& key, const std::string& value, bool present)
{
    if (!present)
        return std::string("\"") + name + "\":null";
    if (IsNumeric(key) && IsJsonInteger(value))
        return std::string("\"") + name + "\":" + value;
    return JsonMember(name, &value);
}

std::string ShownValue(const std::string& value, bool present)
{
    if (!present)
        return "(none)";
    return value.empty() ? std::string("\"\"") : EscapeField(value, true);
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
    if (CX::IsChecksumAttribute(key))
        return "digest";
    if (key == "DefaultACL")
        return "default_acl";
    if (IsXattr(key))
        return "xattr." + key.substr(6);
    return Lower(key);
}

AttributeComparer::AttributeComparer(CompareRules rules) : rules_(std::move(rules)) {}

bool AttributeComparer::Ignored(const std::string& key, bool folder, bool moved) const
{
    // Identity, and the mark of what could not be read (which makes the
    // entry unknown), are no attributes to compare.
    if (key == "Inode" || key == "Unreadable")
        return true;
    if (key == "CTime" && (rules_.copy || moved))
        return true;
    if (folder && (key == "MTime" || key == "CTime") && !rules_.folderMTime)
        return true;
    const std::string name = AttributeName(key);
    if (!rules_.policy.Empty() && !rules_.policy.Compares(relative_.c_str(), folder, name))
        return true;
    if (rules_.ignored.empty())
        return false;
    // An extended attribute's name is taken as it is; the others in any case.
    return std::any_of(rules_.ignored.begin(), rules_.ignored.end(), [&](const std::string& ignored) {
        return ignored == name || (!IsXattr(key) && (strcasecmp(ignored.c_str(), name.c_str()) == 0 ||
                                                     strcasecmp(ignored.c_str(), key.c_str()) == 0));
    });
}

bool AttributeComparer::Compare(const std::string& path, const std::string& before, const std::string& after,
                                bool folder, bool moved, std::vector<AttributeChange>& changes)
{
    changes.clear();
    if (before == after)
        return false;
    if (!rules_.policy.Empty()) {
        const size_t start = path.compare(0, rules_.root.size(), rules_.root) == 0 ? rules_.root.size() : 0;
        relative_.assign(path, start, std::string::npos);
        if (!relative_.empty() && relative_.back() == '/')
            relative_.pop_back();
    }
    if (!CX::CAttributeSet::Parse(before, before_) || !CX::CAttributeSet::Parse(after, after_))
        return true;
    bool shared = false;
    for (const auto& attribute : before_) {
        const std::string* other = FindAttribute(after_, attribute.key);
        if (other != nullptr)
            shared = true;
        if (Ignored(attribute.key, folder, moved))
            continue;
        if (other == nullptr) {
            if (RecordedWherePresent(rules_.after, attribute.key))
                changes.push_back({attribute.key, attribute.value, std::string(), true, false});
            else
                notCompared.insert(attribute.key);
        } else if (*other != attribute.value) {
            changes.push_back({attribute.key, attribute.value, *other, true, true});
        }
    }
    for (const auto& attribute : after_) {
        if (FindAttribute(before_, attribute.key) != nullptr || Ignored(attribute.key, folder, moved))
            continue;
        if (RecordedWherePresent(rules_.before, attribute.key))
            changes.push_back({attribute.key, std::string(), attribute.value, false, true});
        else
            notCompared.insert(attribute.key);
    }
    return !changes.empty() || !shared;
}

std::string TextChanges(const std::vector<AttributeChange>& changes)
{
    std::string out;
    for (const auto& change : changes) {
        out += '\t';
        out += EscapeField(AttributeName(change.key), false);
        out += ' ';
        out += ShownValue(change.before, change.inBefore);
        out += "->";
        out += ShownValue(change.after, change.inAfter);
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
        out += JsonValue("old", change.key, change.before, change.inBefore);
        out += ',';
        out += JsonValue("new", change.key, change.after, change.inAfter);
        out += '}';
    }
    return out + "}";
}

}  // namespace cxcli
