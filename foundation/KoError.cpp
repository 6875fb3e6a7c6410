#include "KoError.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t kFacilityWin32 = 0x7;
constexpr uint32_t kFacilitySQLite = 0x5C;

int32_t MakeStatus(uint32_t facility, uint32_t code)
{
    return static_cast<int32_t>(0x80000000u | (facility << 16) | (code & 0xFFFFu));
}

uint32_t FacilityOf(int32_t status) { return (static_cast<uint32_t>(status) >> 16) & 0x7FFFu; }
uint32_t CodeOf(int32_t status) { return static_cast<uint32_t>(status) & 0xFFFFu; }

// printf into a string of exactly the needed size: the output is never cut and
// never written past its buffer.
std::string FormatV(const char* format, va_list arguments)
{
    if (format == nullptr)
        return std::string();
    va_list copy;
    va_copy(copy, arguments);
    char small[256];
    const int needed = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (needed < 0)
        return std::string(format);
    if (static_cast<size_t>(needed) < sizeof small)
        return std::string(small, static_cast<size_t>(needed));
    std::string text(static_cast<size_t>(needed) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, arguments);
    text.resize(static_cast<size_t>(needed));
    return text;
}

uint32_t Win32FromErrno(int value)
{
    switch (value) {
    case ENOENT: return KO_ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return 3;  // ERROR_PATH_NOT_FOUND
    case EACCES:
    case EPERM:
    case EROFS: return KO_ERROR_ACCESS_DENIED;
    case ENOMEM: return KO_ERROR_OUTOFMEMORY;
    case EINVAL: return KO_ERROR_INVALID_PARAMETER;
    case ENOSPC: return KO_ERROR_DISK_FULL;
    case EEXIST: return KO_ERROR_ALREADY_EXISTS;
    case EBUSY: return 170;         // ERROR_BUSY
    case ENAMETOOLONG: return 206;  // ERROR_FILENAME_EXCED_RANGE
    case EISDIR: return 267;        // ERROR_DIRECTORY
    case ELOOP: return 1921;        // ERROR_CANT_RESOLVE_FILENAME
    default: return 1117;           // ERROR_IO_DEVICE
    }
}

}  // namespace

CKoError CKoError::Make(int32_t status, const FXCodeLocation& location, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    CKoError error = MakeV(status, location, format, arguments);
    va_end(arguments);
    return error;
}

CKoError CKoError::MakeV(int32_t status, const FXCodeLocation& location, const char* format, va_list arguments)
{
    CKoError error;
    // A made error is always a failure; a caller passing 0 gets a generic one.
    error.status_ = status < 0 ? status : MakeStatus(kFacilityWin32, 1);
    error.Append(location, FormatV(format, arguments));
    return error;
}

std::string FXDetail::FunctionText(const char* function)
{
    std::string text;
    if (function == nullptr)
        return text;
#if defined(__clang__)
    for (const char* c = function; *c != '\0'; ++c) {
        const bool blankBeforeReference = *c == ' ' && (c[1] == '&' || c[1] == '*') && !text.empty() &&
                                          text.back() != ',' && text.back() != '(';
        // "const ::Type&" as written in the source: g++ drops the "::".
        const bool globalQualifier = *c == ':' && c[1] == ':' && !text.empty() && text.back() == ' ';
        if (globalQualifier)
            ++c;
        else if (!blankBeforeReference)
            text.push_back(*c);
    }
#else
    text = function;
#endif
    return text;
}

void CKoError::Append(const FXCodeLocation& location, std::string message)
{
    if (!chain_)
        chain_ = std::make_shared<std::vector<Entry>>();
    Entry entry;
    entry.file.assign(location.file.data(), location.file.size());
    entry.function = FXDetail::FunctionText(location.function);
    entry.line = location.line;
    entry.message = std::move(message);
    chain_->push_back(std::move(entry));
}

CKoError& CKoError::Push(const FXCodeLocation& location)
{
    if (IsError()) {
        Append(location, std::string());
    }
    return *this;
}

CKoError& CKoError::Push(const FXCodeLocation& location, const char* format, ...)
{
    if (IsError()) {
        va_list arguments;
        va_start(arguments, format);
        std::string message = FormatV(format, arguments);
        va_end(arguments);
        Append(location, std::move(message));
    }
    return *this;
}

const std::vector<CKoError::Entry>& CKoError::Entries() const
{
    static const std::vector<Entry> none;
    return chain_ ? *chain_ : none;
}

std::string CKoError::AsString() const
{
    if (!IsError())
        return "success";
    char head[64];
    const uint32_t facility = FacilityOf(status_);
    if (facility == kFacilityWin32)
        std::snprintf(head, sizeof head, "error %u (0x%08X)", CodeOf(status_), static_cast<uint32_t>(status_));
    else if (facility == kFacilitySQLite)
        std::snprintf(head, sizeof head, "SQLite error %u (0x%08X)", CodeOf(status_), static_cast<uint32_t>(status_));
    else
        std::snprintf(head, sizeof head, "error 0x%08X", static_cast<uint32_t>(status_));
    std::string text(head);
    for (const Entry& entry : Entries()) {
        text += " <- ";
        text += entry.file;
        text += ':';
        text += std::to_string(entry.line);
        text += " ";
        text += entry.function;
        if (!entry.message.empty()) {
            text += ": ";
            text += entry.message;
        }
    }
    return text;
}

// Status layout: top bit set, a facility in bits 16-30, the code in bits 0-15.
int32_t FXErrorUtil::StatusFromWin32(uint32_t code) { return MakeStatus(kFacilityWin32, code); }
int32_t FXErrorUtil::StatusFromSQLite(int code) { return MakeStatus(kFacilitySQLite, static_cast<uint32_t>(code)); }

CKoError FXErrorUtil::ErrorWin32(const FXCodeLocation& location, uint32_t code, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    CKoError error = CKoError::MakeV(StatusFromWin32(code), location, format, arguments);
    va_end(arguments);
    return error;
}

CKoError FXErrorUtil::ErrorSQLite(const FXCodeLocation& location, int sqliteCode, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    CKoError error = CKoError::MakeV(StatusFromSQLite(sqliteCode), location, format, arguments);
    va_end(arguments);
    return error;
}

CKoError FXErrorUtil::ErrorErrno(const FXCodeLocation& location, int errnoValue, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::string message = FormatV(format, arguments);
    va_end(arguments);
    if (!message.empty())
        message += ": ";
    message += std::strerror(errnoValue);
    CKoError error = ErrorWin32(location, Win32FromErrno(errnoValue), "%s", message.c_str());
    return error;
}

bool FXErrorUtil::IsWin32(const CKoError& error, uint32_t code)
{
    return error.IsError() && error.Status() == StatusFromWin32(code);
}

bool FXErrorUtil::IsSQLite(const CKoError& error, int code)
{
    if (!error.IsError() || FacilityOf(error.Status()) != kFacilitySQLite)
        return false;
    const int stored = static_cast<int>(CodeOf(error.Status()));
    return code < 256 ? (stored & 0xFF) == code : stored == code;
}

uint32_t FXErrorUtil::Win32Code(const CKoError& error)
{
    return error.IsError() && FacilityOf(error.Status()) == kFacilityWin32 ? CodeOf(error.Status()) : 0;
}

int FXErrorUtil::SQLiteCode(const CKoError& error)
{
    return error.IsError() && FacilityOf(error.Status()) == kFacilitySQLite ? static_cast<int>(CodeOf(error.Status()))
                                                                            : 0;
}
