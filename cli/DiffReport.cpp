#include "DiffReport.h"

#include "Arguments.h"
#include "DatabaseBase.h"
#include "FileIdentity.h"
#include "FXPath.h"
#include "Output.h"

#include <boost/make_shared.hpp>

#include <cctype>
#include <cerrno>

namespace cxcli {

// ---------------------------------------------------------------- snapshot facts

CKoError ReadFacts(CX::CContentContainerDatabase& db, SnapshotFacts& facts)
{
    db.GetValue("Origin", facts.origin);  // absent values stay empty
    db.GetValue("SnapshotState", facts.state);
    db.GetValue("SnapshotProblems", facts.problems);
    CX::SIndexSettings settings;
    CKoError error = CX::ReadIndexSettings(db, settings);
    if (!error.IsError())
        error = CX::ReadRecordedAttributes(db, facts.recorded);
    facts.policy = settings.policy;
    return error;
}

std::string RecordedOrigin(CX::CContentContainerDatabase& db, const std::string& container)
{
    std::string origin;
    db.GetValue("Origin", origin);
    if (origin.empty() || origin[0] != '/') {
        Fail(container, "records no origin");
        return std::string();
    }
    FXPath::AppendTrailingDelimiter(origin);
    return origin;
}

void WarnIfNotComplete(const std::string& container, const SnapshotFacts& facts)
{
    if (facts.state == "complete")
        return;
    std::string what;
    if (facts.state.empty())
        what = "records no state";
    else if (facts.state == "incomplete")
        what = "is incomplete (its indexing was interrupted)";
    else if (facts.state == "partial")
        what = "is partial (" + (facts.problems.empty() ? std::string("some") : facts.problems) +
               " folders or files could not be read)";
    else
        what = "is in state \"" + facts.state + "\"";
    Warn(container, "the snapshot " + what);
}

// ---------------------------------------------------------------- the run

namespace {

// What the comparison could not judge, said once on standard error.
void NoteNotCompared(const std::set<std::string>& keys, const CompareRules& rules)
{
    if (Quiet())
        return;
    std::string others;
    bool digests = false;
    for (const auto& key : keys) {
        if (CX::IsChecksumAttribute(key))
            digests = true;
        else
            others += (others.empty() ? "" : ", ") + key;
    }
    const CX::EChecksum before = rules.before.checksum;
    const CX::EChecksum after = rules.after.checksum;
    if (digests && before != CX::EChecksum::None && after != CX::EChecksum::None && before != after)
        std::fprintf(stderr, "cx: note: contents not compared: the snapshots hold digests of different algorithms "
                             "(%s and %s)\n",
                     CX::ChecksumName(before), CX::ChecksumName(after));
    else if (digests)
        others = std::string(CX::ChecksumAttribute(before != CX::EChecksum::None ? before : after)) +
                 (others.empty() ? "" : ", ") + others;
    if (!others.empty())
        std::fprintf(stderr, "cx: note: not compared, recorded in one snapshot only: %s\n", EscapeLine(others).c_str());
}

constexpr int kAttempts = 3;

}  // namespace

int RunReport(const DiffOptions& options, const ReportSide& before, const ReportSide& after,
              const std::function<CKoError(const boost::shared_ptr<DiffPrinter>& printer)>& compare)
{
    DiffOptions resolved = options;
    resolved.paths.clear();
    for (const auto& argument : options.paths) {
        std::string path;
        bool folderOnly = false;
        if (!AbsolutePath(argument, path, folderOnly))
            return kTrouble;
        // A path in the copy's tree stands for the same path in the original's.
        if (options.copy && (path + "/").compare(0, options.newRoot.size(), options.newRoot) == 0)
            path = options.oldRoot + path.substr(std::min(path.size(), options.newRoot.size()));
        while (path.size() > 1 && path.back() == '/')
            path.pop_back();
        resolved.paths.push_back(path);
    }
    if (options.copy && !Quiet())
        std::fprintf(stderr, "cx: comparing %s (%s) with %s (%s) by the paths below them\n",
                     EscapeLine(options.oldRoot).c_str(), EscapeLine(before.label).c_str(),
                     EscapeLine(options.newRoot).c_str(), EscapeLine(after.label).c_str());
    CompareRules rules;
    rules.ignored = options.ignored;
    rules.folderMTime = options.folderMTime;
    rules.copy = options.copy;
    rules.before = before.facts.recorded;
    rules.after = after.facts.recorded;
    rules.policy = options.policy.Empty() ? before.facts.policy : options.policy;
    rules.root = before.facts.origin;
    FXPath::AppendTrailingDelimiter(rules.root);
    const std::string subject =
        before.label + (after.container.empty() ? " against " : " vs ") + after.label;

    // From here on the library's own progress marks never reach the report.
    ReportStream stream;
    boost::shared_ptr<DiffPrinter> printer;
    CKoError error;
    const ReportSide* sides[2] = {&before, &after};
    if (before.sealed != nullptr || after.sealed != nullptr)
        FX::CDatabaseBase::ReadFilesAsTheyLie(true);  // the bytes that were verified, and nothing beside them
    for (int attempt = 1;; ++attempt) {
        // The containers as they are before the read and after it: a
        // writer at work in place between the two makes another round, and
        // a sealed one must be the file that was verified throughout.
        // Whether the library then reads the file as it lies or through
        // SQLite's locks, which a writer's files beside it decide, may
        // change between the two looks: the file must not have changed in
        // either case (a checkpoint of a writer at work makes one more round).
        FileIdentity identities[2];
        for (int side = 0; side < 2; ++side) {
            const ReportSide& one = *sides[side];
            if (one.container.empty())
                continue;
            identities[side] = Identify(one.container, true);
            if (one.sealed != nullptr && identities[side] != *one.sealed)
                return Fail(one.container, "changed since its seal was verified");
        }
        printer = boost::make_shared<DiffPrinter>(resolved, before.facts.unreadableFolders, rules);
        error = compare(printer);
        const ReportSide* changed = nullptr;
        for (int side = 0; side < 2 && changed == nullptr; ++side) {
            const ReportSide& one = *sides[side];
            if (one.container.empty())
                continue;
            const FileIdentity now = Identify(one.container, false);
            if (one.sealed != nullptr && now != *one.sealed)
                return Fail(one.container, "changed while it was read; its seal vouches for none of it");
            if (now != identities[side])
                changed = &one;
        }
        if (changed == nullptr || FXErrorUtil::IsWin32(error, KO_ERROR_OPERATION_ABORTED))
            break;
        if (attempt == kAttempts)
            return Fail(changed->container, "changed while it was read, " + std::to_string(kAttempts) +
                                                " times; no report is made of a container in the middle of a change");
    }

    ReportOutput output(stream.Out(), options.quiet, options.syslog);
    // What was kept back goes out after an interruption too, as far as the
    // comparison went.
    if (!error.IsError() || FXErrorUtil::IsWin32(error, KO_ERROR_OPERATION_ABORTED)) {
        const CKoError finished = printer->Finish(output);
        if (finished.IsError())
            error = finished;
    }
    if (options.stat && !options.quiet)
        PrintCounts(stream.Out(), *printer, options.json);
    const int written = FinishOutput(stream.Out(), kClean);
    if (written != kClean)
        return written;
    NoteNotCompared(printer->NotCompared(), rules);
    // Every path differs then: most likely a copy compared with its original.
    const std::string& oldOrigin = before.facts.origin;
    const std::string& newOrigin = after.facts.origin;
    if (!Quiet() && !oldOrigin.empty() && !newOrigin.empty() && oldOrigin != newOrigin)
        std::fprintf(stderr, "cx: note: the snapshots are of different folders (%s and %s); --relative compares "
                             "the paths below each\n",
                     EscapeLine(oldOrigin).c_str(), EscapeLine(newOrigin).c_str());
    if (FXErrorUtil::IsWin32(error, KO_ERROR_OPERATION_ABORTED))
        return kInterrupted;
    if (error.IsError())
        return Fail(subject, Cause(error));
    // A path to report on that neither side has is most likely a typo.
    const std::vector<std::string> unmet = printer->UnmetPaths();
    for (const auto& path : unmet)
        Fail(path, after.container.empty() ? "neither in the snapshot nor in the tree" : "in neither snapshot");
    if (!options.stat)
        output.Summary(printer->counts, subject);
    return printer->Total() == 0 && unmet.empty() ? kClean : kReported;
}

// ---------------------------------------------------------------- --ignore

namespace {

// Whether any row of `container` has the attribute `name` (in any case).
bool Records(const std::string& container, const std::string& name)
{
    CX::CContentContainerDatabase db(container, true);
    for (const char* table : {"Files", "Folders"}) {
        FX::CSQLite3StatementPtr statement;
        if (db.CompileStatement(std::string("SELECT 1 FROM ") + table +
                                    " WHERE instr(lower(' ' || Metadata), lower(?1)) > 0 LIMIT 1;",
                                statement)
                .IsError())
            return false;
        try {
            statement->Bind(1, " " + name + "=\"");
            if (!statement->ExecQuery()->Eof())
                return true;
        } catch (const FX::CSQLite3Exception&) {
            return false;
        }
    }
    return false;
}

}  // namespace

bool CheckIgnoredNames(const DiffOptions& options, const ReportSide& before, const ReportSide& after)
{
    const CX::SRecordedAttributes& a = before.facts.recorded;
    const CX::SRecordedAttributes& b = after.facts.recorded;
    const struct {
        const char* name;
        bool recorded;
    } known[] = {
        {"type", true}, {"size", true}, {"mtime", true}, {"mode", true}, {"uid", true}, {"gid", true},
        {"rdev", true}, {"target", true}, {"inode", true}, {"unreadable", true}, {"collect", true},
        {"ctime", a.statusChange || b.statusChange}, {"nlink", a.statusChange || b.statusChange},
        {"flags", a.flags || b.flags}, {"caps", a.xattrs || b.xattrs}, {"acl", a.xattrs || b.xattrs},
        {"default_acl", a.xattrs || b.xattrs}, {"defaultacl", a.xattrs || b.xattrs},
        {"selinux", a.xattrs || b.xattrs},
        {"digest", a.checksum != CX::EChecksum::None || b.checksum != CX::EChecksum::None},
    };
    for (const auto& name : options.ignored) {
        bool ok = false;
        std::string lower = name;
        for (char& c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (const auto& entry : known)
            if (lower == entry.name) {
                if (!entry.recorded) {
                    Fail("--ignore " + name, "neither side of the comparison records it");
                    return false;
                }
                ok = true;
            }
        if (lower.compare(0, 6, "xattr.") == 0) {
            if (!a.xattrs && !b.xattrs) {
                Fail("--ignore " + name, "neither side of the comparison records extended attributes");
                return false;
            }
            ok = true;
        }
        if (CX::IsChecksumAttribute(name))
            ok = true;
        // Another name is an attribute a host recorded itself: one of the
        // containers must hold it.
        for (const ReportSide* side : {&before, &after})
            ok = ok || (!side->container.empty() && Records(side->container, name));
        if (!ok) {
            Fail("--ignore " + name, "no such attribute (names: type, size, mtime, ctime, mode, uid, gid, nlink, rdev, "
                                     "target, flags, caps, acl, default_acl, selinux, xattr.NAME, digest)");
            return false;
        }
    }
    return true;
}

}  // namespace cxcli
