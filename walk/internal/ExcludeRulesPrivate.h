// The data of one CX::CExcludeRules, and the walker's way to its rules.
#pragma once

#include "ExcludeRuleList.h"
#include "ExcludeRules.h"

namespace CX {

class CExcludeRulesPrivate {
public:
    walk::ExcludeRuleList rules;

    static const walk::ExcludeRuleList& Of(const CExcludeRules& rules) { return rules.d->rules; }
};

}  // namespace CX
