// The cx tool's commands and the helpers they share.
#pragma once

#include "ExcludeRules.h"
#include "TreeIndexer.h"
#include "KoError.h"

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

namespace cxcli {

// Exit statuses, as diff(1): 0 nothing to report, 1 something reported,
// 2 trouble; 130 after Ctrl-C.
enum Exit { kClean = 0, kReported = 1, kTrouble = 2, kInterrupted = 130 };

// ---- output (Output.cpp)

// A text that stays on one line: backslash, control bytes and DEL become C
// escapes (\\, \n, \t, \r, \xHH); every other byte is kept as it is.
std::string EscapeLine(const std::string& text);
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
// Prints "cx: <subject>: <cause>" on standard error and returns kTrouble.
int Fail(const std::string& subject, const std::string& cause);
// Flushes what was written to `out` and answers `status`, or after a write
// error prints one line and answers kTrouble. A reader that went away (EPIPE)
// is not reported: the answer is then 141, as for a tool that SIGPIPE ended.
int FinishOutput(FILE* out, int status);
// A short cause for an error from the library.
std::string Cause(const CKoError& error);
// Checks that `path` names a container that can be read; on failure prints
// the reason and returns false.
bool CheckContainer(const std::string& path);

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

// A live progress line on standard error, only when it is a terminal.
class Progress {
public:
    explicit Progress(const char* what);
    ~Progress();
    void Update(unsigned long long count, const std::string& current);
    // Erases the line, if one is shown, before other output; the next
    // Update shows it again.
    void Clear();

private:
    const char* what_;
    bool enabled_;
    double start_;
    double last_ = 0;
    bool shown_ = false;
};

// Set by Ctrl-C (or SIGTERM, SIGHUP); a second one ends the process at once.
extern std::atomic<bool> g_interrupted;
void InstallInterruptHandler();

// ---- commands

struct IndexOptions {
    std::string directory;
    std::string container;
    std::string commandLine;
    bool update = false;
    bool force = false;  // replace a file that is not a container
    bool wait = false;   // wait for another writer of the container
    bool oneFileSystem = false;
    bool checksum = false;
    CX::CExcludeRules excludes;  // from --exclude and --exclude-from, in the order given
    std::vector<std::string> collects;
};
int RunIndex(const IndexOptions& options);
// `directory` as the kernel resolves it, ending with "/"; false after the
// failure was reported (it does not exist, or is no folder).
bool ResolveFolder(const std::string& directory, std::string& root);
// What a walk tells cx index's user: warnings on standard error, the progress
// line on a terminal, and Ctrl-C as a cancel.
CX::CTreeIndexerCallbackPtr MakeIndexCallback();
// "<what>: <cause>" for a failed run of the indexer.
std::string IndexFailure(const CKoError& error);

struct DiffOptions {
    std::string oldContainer;
    std::string newContainer;
    std::vector<std::string> paths;    // report only these subtrees (as AbsolutePath makes them)
    std::vector<std::string> ignored;  // attribute names left out of the comparison
    bool folderMTime = false;          // compare the folders' modification times too
    bool renames = true;               // report moves as such
    bool json = false;
    bool stat = false;
    bool recurseDeleted = true;
    long checkPeriod = 0;  // steps between progress marks and abort checks; 0 keeps the library's
    bool relative = false;  // compare by the paths below each snapshot's origin
    std::string newLabel;   // what messages call the current side; empty: its file name
};
int RunDiff(const DiffOptions& options);
// The same, with the current snapshot's rows moved below the previous one's
// origin first: a copy of a tree compared with its original.
int RunRelativeDiff(const DiffOptions& options);

// cx check: the tree under `directory` (by default the snapshot's origin)
// against the snapshot `report.oldContainer`, reported as cx diff reports.
struct CheckOptions {
    DiffOptions report;
    std::string directory;
    bool checksum = false;    // digests even if the snapshot has none
    bool noChecksum = false;  // no digests even if the snapshot has them
    CX::CExcludeRules excludes;  // instead of the snapshot's own, when any are given
};
int RunCheck(const CheckOptions& options);

int RunReview(const std::string& container, bool collect);
// The form cx index stores a path in: absolute (a relative argument is taken
// from the current folder), without empty, "." or ".." components, and
// without a trailing "/". `folderOnly` tells that the argument can only name
// a folder: it ends with "/", "." or "..", or names the root. False, with a
// message, for an empty argument or an unreadable current folder.
bool AbsolutePath(const std::string& argument, std::string& path, bool& folderOnly);
// A PATH or FOLDER is taken as cx index stores paths: absolute, from the
// current folder when relative, "//", "." and ".." resolved by name. A PATH
// ending with "/" names only a folder. No FOLDER lists the folders.
int RunFind(const std::string& container, const std::string& path);
int RunList(const std::string& container, const std::string* folder, bool longFormat);
int RunDups(bool ignoreCase, unsigned threads);
int RunInfo(const std::string& container);

}  // namespace cxcli
