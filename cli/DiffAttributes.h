// How cx diff judges and names the difference between two metadata texts:
// which attributes changed, with their old and new values, in the text and
// JSON forms of a report line.
#pragma once

#include "AttributeSet.h"
#include "IndexSettings.h"

#include <set>
#include <string>
#include <vector>

namespace cxcli {

struct AttributeChange {
    std::string key;  // as recorded: MTime, Mode, SHA256, Xattr.user.note, ...
    std::string before;
    std::string after;
    bool inBefore = true;  // false: the old side has none ("(none)" in the report)
    bool inAfter = true;
};

// The value of `key` in `attributes`, or null.
const std::string* FindAttribute(const std::vector<CX::SAttribute>& attributes, const std::string& key);

// The name an attribute goes by in reports and in --ignore: "digest" for any
// digest, "default_acl" for DefaultACL, "xattr.NAME" for Xattr.NAME, the key
// in lower case for the rest (mtime, ctime, caps, acl, flags, ...).
std::string AttributeName(const std::string& key);

// How two snapshots' metadata are compared.
struct CompareRules {
    std::vector<std::string> ignored;  // names as --ignore takes them
    bool folderMTime = false;          // a folder's MTime and CTime are compared too
    // The new side is a copy of the old one's tree (another folder): a
    // status change time and an inode say nothing then.
    bool copy = false;
    CX::SRecordedAttributes before;  // what each side records
    CX::SRecordedAttributes after;
    // What the baseline's policy leaves out, path by path, the paths
    // relative to `root` (the old side's origin, ending with "/").
    CX::CPathPolicy policy;
    std::string root;
};

class AttributeComparer {
public:
    explicit AttributeComparer(CompareRules rules);

    // Whether two metadata texts differ in an attribute both record and none
    // of the ignored; `changes` receives those attributes. An attribute one
    // side has alone is a change when the other side records it wherever
    // there is one (a capability set, a flag), and else is not compared.
    // Texts that are no attribute lists, or share no attribute, differ as
    // texts, with no changes named. Inode is identity: never a change by
    // itself, and a moved entry's CTime, which the move itself sets, is none
    // either.
    bool Compare(const std::string& path, const std::string& before, const std::string& after, bool folder,
                 bool moved, std::vector<AttributeChange>& changes);

    // Attributes that one snapshot only recorded, met while comparing.
    std::set<std::string> notCompared;

private:
    bool Ignored(const std::string& key, bool folder, bool moved) const;

    std::string relative_;  // the entry's path as the policy reads it

    CompareRules rules_;
    std::vector<CX::SAttribute> before_;
    std::vector<CX::SAttribute> after_;
};

// "\tmode 0644->0600\tsize 120->131": one tab-separated field per change.
std::string TextChanges(const std::vector<AttributeChange>& changes);
// "\"changes\":{\"mode\":{\"old\":\"0644\",\"new\":\"0600\"},\"size\":{\"old\":120,\"new\":131}}";
// sizes, ids, counts and device numbers are JSON numbers, an absent value null.
std::string JsonChanges(const std::vector<AttributeChange>& changes);

}  // namespace cxcli
