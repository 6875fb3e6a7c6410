#include "Output.h"

#include "Escape.h"

#include <fcntl.h>
#include <syslog.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace cxcli {

namespace {
std::atomic<int> g_writeErrno{0};
bool g_syslog = false;
bool g_quiet = false;

// The length of the valid UTF-8 sequence at text[i], or 0.
size_t Utf8Length(const std::string& text, size_t i)
{
    const auto c = static_cast<unsigned char>(text[i]);
    size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || i + length > text.size() || (length == 2 && c < 0xC2) || (length == 4 && c > 0xF4))
        return 0;
    for (size_t k = 1; k < length; ++k)
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
            return 0;
    if (length == 3) {
        const auto c1 = static_cast<unsigned char>(text[i + 1]);
        if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 >= 0xA0))
            return 0;  // overlong or a surrogate
    }
    if (length == 4) {
        const auto c1 = static_cast<unsigned char>(text[i + 1]);
        if ((c == 0xF0 && c1 < 0x90) || (c == 0xF4 && c1 >= 0x90))
            return 0;
    }
    return length;
}
}  // namespace

std::string EscapeLine(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    FX::AppendEscaped(out, text, false);
    return out;
}

std::string EscapeField(const std::string& text, bool value)
{
    std::string out;
    out.reserve(text.size());
    FX::AppendEscaped(out, text, false);
    // Most fields hold none of the characters below: they are done.
    size_t i = out.find_first_of(value ? ">\"(" : ">");
    if (i == std::string::npos)
        return out;
    std::string field;
    field.reserve(out.size() + 8);
    field.append(out, 0, i);
    for (; i < out.size(); ++i) {
        const char c = out[i];
        if (c == '>' && i > 0 && out[i - 1] == '-')
            field += "\\x3E";
        else if (value && c == '"')
            field += "\\x22";
        else if (value && c == '(' && i == 0)
            field += "\\x28";
        else
            field += c;
    }
    return field;
}

std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c < 0x20 || c == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\u%04x", c);
            out += hex;
            ++i;
        } else if (const size_t length = Utf8Length(text, i)) {
            out.append(text, i, length);
            i += length;
        } else {
            out += "\xEF\xBF\xBD";  // U+FFFD for a byte that is no UTF-8
            ++i;
        }
    }
    out += '"';
    return out;
}

bool IsUtf8(const std::string& text)
{
    for (size_t i = 0; i < text.size();) {
        const size_t length = Utf8Length(text, i);
        if (length == 0)
            return false;
        i += length;
    }
    return true;
}

std::string Base64(const std::string& bytes)
{
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t left = bytes.size() - i;
        unsigned word = static_cast<unsigned char>(bytes[i]) << 16;
        if (left > 1)
            word |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (left > 2)
            word |= static_cast<unsigned char>(bytes[i + 2]);
        out += digits[(word >> 18) & 63];
        out += digits[(word >> 12) & 63];
        out += left > 1 ? digits[(word >> 6) & 63] : '=';
        out += left > 2 ? digits[word & 63] : '=';
    }
    return out;
}

std::string JsonMember(const char* name, const std::string* text)
{
    std::string out = "\"";
    out += name;
    out += "\":";
    if (text == nullptr)
        return out + "null";
    out += JsonString(*text);
    if (!IsUtf8(*text)) {
        out += ",\"";
        out += name;
        out += "_base64\":\"";
        out += Base64(*text);
        out += '"';
    }
    return out;
}

void Print(FILE* out, const char* format, ...)
{
    std::va_list arguments;
    va_start(arguments, format);
    const int written = std::vfprintf(out, format, arguments);
    va_end(arguments);
    if (written < 0 || std::ferror(out)) {
        int none = 0;
        g_writeErrno.compare_exchange_strong(none, errno);
    }
}

int Fail(const std::string& subject, const std::string& cause)
{
    std::fprintf(stderr, "cx: %s: %s\n", EscapeLine(subject).c_str(), EscapeLine(cause).c_str());
    if (g_syslog)
        syslog(LOG_ERR, "%s: %s", EscapeLine(subject).c_str(), EscapeLine(cause).c_str());
    return kTrouble;
}

void Warn(const std::string& subject, const std::string& what)
{
    // On a terminal, the progress line that may stand there goes first.
    static const bool terminal = isatty(STDERR_FILENO) != 0;
    if (!g_quiet)
        std::fprintf(stderr, "%scx: warning: %s: %s\n", terminal ? "\r\033[K" : "", EscapeLine(subject).c_str(),
                     EscapeLine(what).c_str());
    if (g_syslog)
        syslog(LOG_WARNING, "warning: %s: %s", EscapeLine(subject).c_str(), EscapeLine(what).c_str());
}

void LogToSyslog()
{
    if (!g_syslog)
        openlog("cx", LOG_PID, LOG_DAEMON);
    g_syslog = true;
}

void BeQuiet()
{
    g_quiet = true;
}

bool Quiet()
{
    return g_quiet;
}

int FinishOutput(FILE* out, int status)
{
    errno = 0;
    const bool flushed = std::fflush(out) == 0;
    if (flushed && !std::ferror(out))
        return status;
    const int cause = errno != 0 ? errno : g_writeErrno.load();
    if (cause == EPIPE)
        return 128 + SIGPIPE;  // the reader left: quiet, as a tool that SIGPIPE ended
    std::fprintf(stderr, "cx: standard output: %s\n", cause != 0 ? std::strerror(cause) : "write error");
    return kTrouble;
}

std::string Cause(const CKoError& error)
{
    if (FXErrorUtil::IsWin32(error, KO_ERROR_FILE_NOT_FOUND))
        return "no such file";
    if (FXErrorUtil::IsWin32(error, KO_ERROR_BAD_FORMAT)) {
        const bool special =
            !error.Entries().empty() && error.Entries().front().message.find("not a regular file") != std::string::npos;
        return special ? "not a content container (not a regular file)"
                       : "not a content container (another program's database)";
    }
    if (FXErrorUtil::IsWin32(error, KO_ERROR_ACCESS_DENIED) && !error.Entries().empty()) {
        // A file beside the container that a read would take content from,
        // refused: "Side file ..., FileName=[<path>]".
        const std::string& message = error.Entries().front().message;
        const size_t name = message.find("FileName=[");
        if (message.rfind("Side file ", 0) == 0 && name != std::string::npos && message.back() == ']') {
            std::string side = message.substr(name + 10, message.size() - name - 11);
            side.erase(0, side.rfind('/') + 1);
            return EscapeLine(side) + (message.find("not owned") != std::string::npos
                                           ? " is not owned by the container's owner; not reading it"
                                           : " is not a regular file; not reading it");
        }
    }
    if (FXErrorUtil::IsSQLite(error, 26))  // SQLITE_NOTADB
        return "not a content container (not an SQLite database)";
    if (FXErrorUtil::IsSQLite(error, 11))  // SQLITE_CORRUPT
        return "the container is damaged (database disk image is malformed)";
    if (FXErrorUtil::IsSQLite(error, 14))  // SQLITE_CANTOPEN
        return "cannot open the file";
    if (FXErrorUtil::IsSQLite(error, 776))  // SQLITE_READONLY_ROLLBACK: a hot journal, and a reader
        return "a writer stopped half way and left its journal beside it, which only a writer may roll back";
    if (FXErrorUtil::IsSQLite(error, 8))  // SQLITE_READONLY
        return "the container is read-only";
    if (FXErrorUtil::IsSQLite(error, 13))  // SQLITE_FULL
        return "the disk is full";
    if (FXErrorUtil::IsWin32(error, KO_ERROR_OPERATION_ABORTED))
        return "interrupted";
    for (const auto& entry : error.Entries())
        if (!entry.message.empty())
            return entry.message;
    return error.AsString();
}

std::string TemporaryFolder()
{
    const char* folder = std::getenv("TMPDIR");
    return folder != nullptr && *folder != '\0' ? folder : "/tmp";
}

FX::UniqueFile TemporaryFile()
{
    // Never named, so nothing can be put in its place or left behind; a file
    // system without unnamed files gets a named one, unlinked at once.
    const std::string folder = TemporaryFolder();
    FX::UniqueFd fd(open(folder.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600));
    if (!fd && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        std::string pattern = folder + "/cx.XXXXXX";
        fd.Reset(mkostemp(&pattern[0], O_CLOEXEC));
        if (fd)
            unlink(pattern.c_str());
    }
    if (!fd)
        return nullptr;
    FX::UniqueFile file(fdopen(fd.Get(), "w+"));
    if (file)
        fd.Release();
    return file;
}

ReportStream::ReportStream()
{
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    if (saved_ < 0)
        return;
    const int target = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (target < 0 || dup2(target, STDOUT_FILENO) < 0) {
        if (target >= 0)
            close(target);
        close(saved_);
        saved_ = -1;
        return;
    }
    close(target);
    out_ = fdopen(saved_, "w");
    if (out_ == nullptr) {
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        saved_ = -1;
        out_ = stdout;
    }
}

ReportStream::~ReportStream()
{
    std::fflush(stdout);
    if (saved_ >= 0) {
        std::fflush(out_);
        dup2(saved_, STDOUT_FILENO);
        std::fclose(out_);  // closes saved_
    }
}

}  // namespace cxcli
