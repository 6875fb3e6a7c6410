// CBag: a set of named configuration values that a host fills and the
// library's services read at the start of each run. Not thread-safe: fill it
// before handing it over.
#pragma once

#include "Export.h"
#include "KoError.h"

#include <map>
#include <string>

class CX_EXPORT CBag {
public:
    CBag();
    ~CBag();

    void Set(const std::string& key, long value);
    void Set(const std::string& key, bool value);
    void Set(const std::string& key, const std::string& value);
    void Set(const std::string& key, const char* value) { Set(key, std::string(value)); }
    void Remove(const std::string& key);

    // Set `value` when the key is present and its text reads as the type.
    // Absent key: error 1168, `value` unchanged. Unreadable text: error 13.
    // Booleans read true/false, yes/no, on/off and 1/0, ignoring case.
    CKoError Read(const std::string& key, long& value) const;
    CKoError Read(const std::string& key, bool& value) const;
    CKoError Read(const std::string& key, std::string& value) const;

private:
    std::map<std::string, std::string> values_;
};
