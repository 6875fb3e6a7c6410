// CKoError: the outcome of every library operation.
//
// Success is the empty state: status 0 and no chain, no allocation. A failure
// carries a status (top bit set) that encodes where the code came from (a
// Win32-style error number or an SQLite result code) and a chain of entries,
// one per level that handled the error, each with its code location and an
// optional message. Copies share one chain, so an entry pushed through any copy
// is seen by all of them. Not thread-safe: an error belongs to one thread.
#pragma once

#include "Export.h"

#include <cstdarg>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The library spells the standard string `string` in its interfaces: read-only
// inputs are `const string&`, outputs `std::string&`. Error locations carry the
// compiler's function text, and that spelling is part of it. (A host's own
// `using namespace std;` still compiles: both names denote the same type.)
typedef std::string string;

// Where an error entry was made: the source file's base name without its
// extension, the compiler's full function text and the line.
struct FXCodeLocation {
    std::string_view file;
    const char* function;
    int line;
};

namespace FXDetail {
constexpr std::string_view SourceBaseName(std::string_view path)
{
    const auto slash = path.find_last_of('/');
    if (slash != std::string_view::npos)
        path.remove_prefix(slash + 1);
    const auto dot = path.find_last_of('.');
    return dot == std::string_view::npos ? path : path.substr(0, dot);
}
// A function text as g++ writes it ("const string&"): clang puts a blank
// before "&" and "*" in parameter types and keeps a leading "::". Error
// entries and log lines carry the same texts whichever compiler built the
// library, lambdas and templates apart, which the two name differently.
std::string FunctionText(const char* function);
}  // namespace FXDetail

// The location of the line it is written on.
#define FX_LOCATION (FXCodeLocation{FXDetail::SourceBaseName(__FILE__), __PRETTY_FUNCTION__, __LINE__})
// The same with a source file name given explicitly (for templates in headers).
#define FX_LOCATION_IN(fileName) (FXCodeLocation{fileName, __PRETTY_FUNCTION__, __LINE__})

#define FX_PRINTF_FORMAT(formatIndex, firstArgument) __attribute__((format(printf, formatIndex, firstArgument)))

class CX_EXPORT CKoError {
public:
    struct Entry {
        std::string file;
        std::string function;
        int line = 0;
        std::string message;
    };

    CKoError() = default;  // success
    static CKoError Success() { return CKoError(); }

    // Makes a failure with the given status and its first entry. `format` is a
    // printf format checked by the compiler; nullptr means no message.
    static CKoError Make(int32_t status, const FXCodeLocation& location, const char* format = nullptr, ...)
        FX_PRINTF_FORMAT(3, 4);
    static CKoError MakeV(int32_t status, const FXCodeLocation& location, const char* format, va_list arguments);

    bool IsError() const { return status_ < 0; }
    bool IsSuccess() const { return !IsError(); }
    int32_t Status() const { return status_; }

    // Appends an entry to the shared chain and returns *this. Pushing onto a
    // success is a no-op: an entry only ever describes a failure.
    CKoError& Push(const FXCodeLocation& location);
    CKoError& Push(const FXCodeLocation& location, const char* format, ...) FX_PRINTF_FORMAT(3, 4);

    // The entries, first (innermost) to last.
    const std::vector<Entry>& Entries() const;
    // The status and every entry as one line of text.
    std::string AsString() const;

private:
    void Append(const FXCodeLocation& location, std::string message);

    int32_t status_ = 0;
    std::shared_ptr<std::vector<Entry>> chain_;
};

// Builds failures from the codes of the platform and of SQLite, and tells them
// apart. Every status the library makes comes from here.
class CX_EXPORT FXErrorUtil {
public:
    static CKoError ErrorWin32(const FXCodeLocation& location, uint32_t code, const char* format = nullptr, ...)
        FX_PRINTF_FORMAT(3, 4);
    // `sqliteCode` is the extended result code; it is kept whole in the status.
    static CKoError ErrorSQLite(const FXCodeLocation& location, int sqliteCode, const char* format = nullptr, ...)
        FX_PRINTF_FORMAT(3, 4);
    // An errno value mapped to the nearest Win32 number, with strerror's text
    // after the caller's message.
    static CKoError ErrorErrno(const FXCodeLocation& location, int errnoValue, const char* format = nullptr, ...)
        FX_PRINTF_FORMAT(3, 4);

    static bool IsWin32(const CKoError& error, uint32_t code);
    static bool IsNotWin32(const CKoError& error, uint32_t code) { return !IsWin32(error, code); }
    // True for an SQLite error whose extended code is `code`, or, when `code`
    // is a primary code (below 256), whose primary code is `code`.
    static bool IsSQLite(const CKoError& error, int code);
    // The Win32 number or SQLite extended code of an error; 0 for success.
    static uint32_t Win32Code(const CKoError& error);
    static int SQLiteCode(const CKoError& error);

    static int32_t StatusFromWin32(uint32_t code);
    static int32_t StatusFromSQLite(int code);
};

// The Win32 numbers the library uses.
enum : uint32_t {
    KO_ERROR_FILE_NOT_FOUND = 2,
    KO_ERROR_ACCESS_DENIED = 5,
    KO_ERROR_INVALID_HANDLE = 6,
    KO_ERROR_INVALID_DATA = 13,
    KO_ERROR_OUTOFMEMORY = 14,
    KO_ERROR_STORAGE_UNAVAILABLE = 26,
    KO_ERROR_NOT_SUPPORTED = 50,
    KO_ERROR_INVALID_PARAMETER = 87,
    KO_ERROR_DISK_FULL = 112,
    KO_ERROR_ALREADY_EXISTS = 183,
    KO_ERROR_OPERATION_ABORTED = 995,
    KO_ERROR_NOT_FOUND = 1168,
    KO_ERROR_ALREADY_INITIALIZED = 1247,
    KO_ERROR_BAD_FORMAT = 11,
};
