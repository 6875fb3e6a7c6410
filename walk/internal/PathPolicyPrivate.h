// The rules of one CX::CPathPolicy.
#pragma once

#include "ExcludeRuleList.h"
#include "PathPolicy.h"

#include <string>
#include <utility>
#include <vector>

namespace CX {

class CPathPolicyPrivate {
public:
    struct Rule {
        std::string source;
        walk::ExcludeRuleList pattern;  // the one rule that says where it applies
        std::vector<std::pair<std::string, bool>> attributes;  // name, compared
        int digest = -1;  // -1 says nothing, 0 no, 1 yes
        bool exclude = false;
    };
    std::vector<Rule> rules;
    bool digestsSomewhere = false;

    static const CPathPolicyPrivate& Of(const CPathPolicy& policy) { return *policy.d; }
};

}  // namespace CX
