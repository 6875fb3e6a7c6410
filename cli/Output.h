// What the tool prints, and how: texts on one line, JSON, failures on
// standard error, and the report's own stream.
#pragma once

#include "KoError.h"
#include "UniqueFd.h"

#include <cstdio>
#include <string>

namespace cxcli {

// Exit statuses, as diff(1): 0 nothing to report, 1 something reported,
// 2 trouble; 130 after Ctrl-C.
enum Exit { kClean = 0, kReported = 1, kTrouble = 2, kInterrupted = 130 };

// A text that stays on one line: backslash, control bytes and DEL become C
// escapes (\\, \n, \t, \r, \xHH); every other byte is kept as it is.
std::string EscapeLine(const std::string& text);
// A path or value in a line of a text report: escaped as EscapeLine
// escapes, and so that the line splits back at its separators exactly: a ">"
// that follows a "-" is written \x3E, so "->" and " -> " are only ever
// separators; in a `value`, a double quote is \x22 and a "(" that starts it
// \x28, so the empty value's `""` and an absent value's `(none)` are only ever
// markers.
std::string EscapeField(const std::string& text, bool value);
// A JSON string literal; invalid UTF-8 becomes U+FFFD.
std::string JsonString(const std::string& text);
bool IsUtf8(const std::string& text);
std::string Base64(const std::string& bytes);
// `"name":<JsonString>`, or `"name":null` for no text. A text that is not
// UTF-8 is followed by `"name_base64":"..."` holding its exact bytes, so that
// distinct texts never print alike.
std::string JsonMember(const char* name, const std::string* text);

// fprintf for what a command reports; the cause of the first failed write is
// kept for FinishOutput, since the stream keeps only that one failed.
__attribute__((format(printf, 2, 3))) void Print(FILE* out, const char* format, ...);
// Prints "cx: <subject>: <cause>" on standard error (and to syslog, once
// LogToSyslog was called) and returns kTrouble.
int Fail(const std::string& subject, const std::string& cause);
// A warning on standard error (and to syslog), unless quiet.
void Warn(const std::string& subject, const std::string& what);
// From now on, trouble and warnings go to syslog too (ReportOutput.h).
void LogToSyslog();
// From now on, warnings and notes are not shown.
void BeQuiet();
bool Quiet();
// Flushes what was written to `out` and answers `status`, or after a write
// error prints one line and answers kTrouble. A reader that went away (EPIPE)
// is not reported: the answer is then 141, as for a tool that SIGPIPE ended.
int FinishOutput(FILE* out, int status);
// A short cause for an error from the library.
std::string Cause(const CKoError& error);

// An unnamed file in the temporary folder ($TMPDIR, else /tmp), gone when
// closed; null with errno set when it cannot be made there.
FX::UniqueFile TemporaryFile();
// The folder TemporaryFile uses, for messages.
std::string TemporaryFolder();

// Keeps the report on the original standard output while the library runs:
// file descriptor 1 goes to /dev/null, where the comparison's own unlabelled
// progress marks are lost (cx shows a progress line of its own).
class ReportStream {
public:
    ReportStream();
    ~ReportStream();
    ReportStream(const ReportStream&) = delete;
    ReportStream& operator=(const ReportStream&) = delete;
    FILE* Out() const { return out_; }

private:
    int saved_ = -1;
    FILE* out_ = stdout;
};

}  // namespace cxcli
