#include "ExcludeRules.h"

#include "ExcludeRulesPrivate.h"

#include <boost/make_shared.hpp>

namespace CX {

CExcludeRules::CExcludeRules() : d(boost::make_shared<CExcludeRulesPrivate>()) {}

CExcludeRules::~CExcludeRules() = default;

CExcludeRules::CExcludeRules(const CExcludeRules& other) : d(boost::make_shared<CExcludeRulesPrivate>(*other.d)) {}

CExcludeRules& CExcludeRules::operator=(const CExcludeRules& other)
{
    if (this != &other)
        d = boost::make_shared<CExcludeRulesPrivate>(*other.d);
    return *this;
}

bool CExcludeRules::AddLine(const string& line, string& problem) { return d->rules.AddLine(line, problem); }

bool CExcludeRules::AddPattern(const string& pattern, string& problem) { return d->rules.AddPattern(pattern, problem); }

bool CExcludeRules::AddFile(const string& path, string& problem) { return d->rules.AddFile(path, problem); }

bool CExcludeRules::Empty() const { return d->rules.Empty(); }

bool CExcludeRules::Excluded(const char* path, bool isFolder) const { return d->rules.Excluded(path, isFolder); }

string CExcludeRules::Text() const { return d->rules.Text(); }

}  // namespace CX
