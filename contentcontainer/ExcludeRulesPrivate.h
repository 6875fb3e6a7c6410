#pragma once

#include "ExcludeRuleList.h"

namespace CX {

class CExcludeRulesPrivate {
public:
    walk::ExcludeRuleList rules;
};

}  // namespace CX
