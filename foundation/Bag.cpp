#include "Bag.h"

#include <cerrno>
#include <cstdlib>
#include <strings.h>

CBag::CBag() = default;
CBag::~CBag() = default;

void CBag::Set(const std::string& key, long value) { values_[key] = std::to_string(value); }
void CBag::Set(const std::string& key, bool value) { values_[key] = value ? "true" : "false"; }
void CBag::Set(const std::string& key, const std::string& value) { values_[key] = value; }
void CBag::Remove(const std::string& key) { values_.erase(key); }

CKoError CBag::Read(const std::string& key, std::string& value) const
{
    const auto found = values_.find(key);
    if (found == values_.end())
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_NOT_FOUND, "Key=[%s]", key.c_str());
    value = found->second;
    return CKoError::Success();
}

CKoError CBag::Read(const std::string& key, long& value) const
{
    std::string text;
    CKoError error = Read(key, text);
    if (error.IsError())
        return error.Push(FX_LOCATION);
    errno = 0;
    char* end = nullptr;
    const long parsed = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || end != text.c_str() + text.size() || errno == ERANGE)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_DATA, "Key=[%s], Value=[%s]", key.c_str(),
                                       text.c_str());
    value = parsed;
    return CKoError::Success();
}

CKoError CBag::Read(const std::string& key, bool& value) const
{
    std::string text;
    CKoError error = Read(key, text);
    if (error.IsError())
        return error.Push(FX_LOCATION);
    for (const char* yes : {"true", "yes", "on", "1"})
        if (strcasecmp(text.c_str(), yes) == 0) {
            value = true;
            return CKoError::Success();
        }
    for (const char* no : {"false", "no", "off", "0"})
        if (strcasecmp(text.c_str(), no) == 0) {
            value = false;
            return CKoError::Success();
        }
    return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_DATA, "Key=[%s], Value=[%s]", key.c_str(),
                                   text.c_str());
}
