#include "IndexSettings.h"

#include "FileSystemsRecord.h"

#include <algorithm>
#include <cstdlib>

namespace CX {

namespace {

const char* const kChecksumKey = "Checksum";
const char* const kOneFileSystemKey = "OneFileSystem";
const char* const kExcludeRulesKey = "ExcludeRules";
const char* const kCollectsKey = "Collects";
const char* const kXattrsKey = "Xattrs";
const char* const kPolicyKey = "Policy";
const char* const kAttributesKey = "Attributes";
const char* const kFileSystemsKey = "FileSystems";

const struct {
    EChecksum checksum;
    const char* name;
    const char* attribute;
} kChecksums[] = {
    {EChecksum::None, "none", ""},
    {EChecksum::XXH128, "xxh128", "XXH128"},
    {EChecksum::SHA256, "sha256", "SHA256"},
    {EChecksum::SHA512, "sha512", "SHA512"},
    {EChecksum::BLAKE2b, "blake2b", "BLAKE2b"},
};

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find('\n', start), text.size());
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string JoinLines(const std::vector<std::string>& lines)
{
    std::string text;
    for (const auto& line : lines)
        text += (text.empty() ? "" : "\n") + line;
    return text;
}

// The value under `key`; false when the container records none.
CKoError Recorded(CContentContainerDatabase& db, const char* key, std::string& value, bool& present)
{
    CKoError error = db.GetValue(key, value);
    present = !error.IsError();
    if (FXErrorUtil::IsWin32(error, KO_ERROR_NOT_FOUND))
        return CKoError::Success();
    return error;
}

CKoError Boolean(const char* key, const std::string& value, bool& flag)
{
    if (value != "true" && value != "false")
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_DATA, "recorded setting %s: neither true nor false: \"%s\"", key, value.c_str());
    flag = value == "true";
    return CKoError::Success();
}

// Whether the container has the storage table that records settings.
CKoError HasStorage(CContentContainerDatabase& db, bool& storage)
{
    storage = false;
    CKoError error = db.TableExists("Storage", storage);
    return error.IsError() ? error.Push(FX_LOCATION) : error;
}

CKoError Malformed(const FXCodeLocation& location, const char* key, const std::string& problem)
{
    return FXErrorUtil::ErrorWin32(location, KO_ERROR_INVALID_DATA, "recorded setting %s: %s", key, problem.c_str());
}

}  // namespace

const char* ChecksumName(EChecksum checksum)
{
    for (const auto& known : kChecksums)
        if (known.checksum == checksum)
            return known.name;
    return "none";
}

bool IsChecksumAttribute(const string& key)
{
    for (const auto& known : kChecksums)
        if (known.checksum != EChecksum::None && key == known.attribute)
            return true;
    return false;
}

bool ChecksumFromName(const string& name, EChecksum& checksum)
{
    for (const auto& known : kChecksums)
        if (name == known.name) {
            checksum = known.checksum;
            return true;
        }
    return false;
}

const char* ChecksumAttribute(EChecksum checksum)
{
    for (const auto& known : kChecksums)
        if (known.checksum == checksum)
            return known.attribute;
    return "";
}

CKoError WriteIndexSettings(CContentContainerDatabase& db, const SIndexSettings& settings)
{
    CKoError error = db.SetValue(kChecksumKey, ChecksumName(settings.checksum));
    if (!error.IsError())
        error = db.SetValue(kOneFileSystemKey, settings.oneFileSystem ? "true" : "false");
    if (!error.IsError())
        error = db.SetValue(kExcludeRulesKey, settings.excludes.Text());
    if (!error.IsError())
        error = db.SetValue(kCollectsKey, JoinLines(settings.collects));
    if (!error.IsError())
        error = db.SetValue(kXattrsKey, settings.xattrs ? "true" : "false");
    if (!error.IsError())
        error = db.SetValue(kPolicyKey, settings.policy.Text());
    // What every row of this version records; the digest is "Checksum".
    if (!error.IsError())
        error = db.SetValue(kAttributesKey, settings.xattrs ? "ctime nlink flags xattrs" : "ctime nlink flags");
    if (error.IsError())
        return error.Push(FX_LOCATION, "cannot record the snapshot's settings");
    return error;
}

CKoError ReadIndexSettings(CContentContainerDatabase& db, SIndexSettings& settings)
{
    // A container without a storage table records nothing.
    bool storage = false;
    CKoError error = HasStorage(db, storage);
    if (error.IsError() || !storage)
        return error;

    SIndexSettings read = settings;
    std::string value;
    bool present = false;
    if ((error = Recorded(db, kChecksumKey, value, present)).IsError())
        return error.Push(FX_LOCATION);
    if (present && !ChecksumFromName(value, read.checksum))
        return Malformed(FX_LOCATION, kChecksumKey, "no such algorithm: \"" + value + "\"");

    if ((error = Recorded(db, kOneFileSystemKey, value, present)).IsError())
        return error.Push(FX_LOCATION);
    if (present && (error = Boolean(kOneFileSystemKey, value, read.oneFileSystem)).IsError())
        return error;

    if ((error = Recorded(db, kXattrsKey, value, present)).IsError())
        return error.Push(FX_LOCATION);
    if (present && (error = Boolean(kXattrsKey, value, read.xattrs)).IsError())
        return error;

    if ((error = Recorded(db, kExcludeRulesKey, value, present)).IsError())
        return error.Push(FX_LOCATION);
    if (present) {
        CExcludeRules rules;
        std::string problem;
        unsigned long number = 0;
        for (const auto& line : SplitLines(value)) {
            ++number;
            if (!rules.AddLine(line, problem))
                return Malformed(FX_LOCATION, kExcludeRulesKey, "line " + std::to_string(number) + ": " + problem);
        }
        read.excludes = rules;
    }

    if ((error = Recorded(db, kCollectsKey, value, present)).IsError())
        return error.Push(FX_LOCATION);
    if (present)
        read.collects = SplitLines(value);

    if ((error = Recorded(db, kPolicyKey, value, present)).IsError())
        return error.Push(FX_LOCATION);
    if (present) {
        CPathPolicy policy;
        std::string problem;
        unsigned long number = 0;
        for (const auto& line : SplitLines(value)) {
            ++number;
            if (!policy.AddLine(line, problem))
                return Malformed(FX_LOCATION, kPolicyKey, "line " + std::to_string(number) + ": " + problem);
        }
        read.policy = policy;
    }

    settings = read;
    return CKoError::Success();
}

CKoError ReadRecordedAttributes(CContentContainerDatabase& db, SRecordedAttributes& recorded)
{
    recorded = SRecordedAttributes();
    bool storage = false;
    CKoError error = HasStorage(db, storage);
    if (error.IsError() || !storage)
        return error;
    std::string value;
    bool present = false;
    if ((error = Recorded(db, kChecksumKey, value, present)).IsError())
        return error.Push(FX_LOCATION);
    if (present && !ChecksumFromName(value, recorded.checksum))
        return Malformed(FX_LOCATION, kChecksumKey, "no such algorithm: \"" + value + "\"");
    if ((error = Recorded(db, kAttributesKey, value, present)).IsError())
        return error.Push(FX_LOCATION);
    for (size_t start = 0; present && start < value.size();) {
        const size_t end = std::min(value.find(' ', start), value.size());
        const std::string word = value.substr(start, end - start);
        start = end + 1;
        if (word == "ctime" || word == "nlink")
            recorded.statusChange = true;
        else if (word == "flags")
            recorded.flags = true;
        else if (word == "xattrs")
            recorded.xattrs = true;
        // A word of a later version names what this one does not compare.
    }
    if ((error = Recorded(db, kFileSystemsKey, value, present)).IsError())
        return error.Push(FX_LOCATION);
    for (const auto& line : present ? SplitLines(value) : std::vector<std::string>()) {
        const size_t space = line.find(' ');
        char* end = nullptr;
        const unsigned long long device = std::strtoull(line.c_str(), &end, 10);
        if (space == std::string::npos || end != line.c_str() + space)
            return Malformed(FX_LOCATION, kFileSystemsKey, "not \"DEVICE IDENTITY\": \"" + line + "\"");
        recorded.fileSystems.emplace_back(device, line.substr(space + 1));
    }
    return CKoError::Success();
}

CKoError RecordFileSystems(CContentContainerDatabase& db, const std::vector<std::pair<uint64_t, std::string>>& fileSystems)
{
    std::string text;
    for (const auto& [device, identity] : fileSystems)
        text += (text.empty() ? "" : "\n") + std::to_string(device) + ' ' + identity;
    CKoError error = db.SetValue(kFileSystemsKey, text);
    return error.IsError() ? error.Push(FX_LOCATION) : error;
}

}  // namespace CX
