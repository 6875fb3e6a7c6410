// How cx diff judges and names the difference between two metadata texts:
// which attributes changed, with their old and new values, in the text and
// JSON forms of a report line.
#pragma once

#include "AttributeSet.h"

#include <set>
#include <string>
#include <vector>

namespace cxcli {

struct AttributeChange {
    std::string key;  // as recorded: MTime, Mode, XXH128, ...
    std::string before;
    std::string after;
};

// The value of `key` in `attributes`, or null.
const std::string* FindAttribute(const std::vector<CX::SAttribute>& attributes, const std::string& key);

// The name an attribute goes by in reports and in --ignore: the key in lower
// case, "digest" for XXH128.
std::string AttributeName(const std::string& key);

class AttributeComparer {
public:
    // `ignored` holds names as --ignore takes them (any case); a folder's
    // MTime is compared only with `folderMTime`.
    AttributeComparer(const std::vector<std::string>& ignored, bool folderMTime);

    // Whether two metadata texts differ in an attribute both record and none
    // of the ignored; `changes` receives those attributes. Texts that are no
    // attribute lists, or share no attribute, differ as texts, with no
    // changes named. Inode is identity: never a change by itself.
    bool Compare(const std::string& before, const std::string& after, bool folder,
                 std::vector<AttributeChange>& changes);

    // Attributes that one snapshot only recorded, met while comparing.
    std::set<std::string> notCompared;

private:
    bool Ignored(const std::string& key, bool folder) const;

    std::vector<std::string> ignored_;  // names in lower case
    bool folderMTime_;
    std::vector<CX::SAttribute> before_;
    std::vector<CX::SAttribute> after_;
};

// "\tmode 0644->0600\tsize 120->131": one tab-separated field per change.
std::string TextChanges(const std::vector<AttributeChange>& changes);
// "\"changes\":{\"mode\":{\"old\":\"0644\",\"new\":\"0600\"},\"size\":{\"old\":120,\"new\":131}}";
// sizes, ids and device numbers are JSON numbers.
std::string JsonChanges(const std::vector<AttributeChange>& changes);

}  // namespace cxcli
