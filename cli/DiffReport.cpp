#include "DiffReport.h"

#include "FXPath.h"
#include "Arguments.h"
#include "Output.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <boost/make_shared.hpp>

namespace cxcli {

namespace {

const char kLetters[] = {'A', 'D', 'M', 'R', '?'};
const char* const kWords[] = {"added", "deleted", "modified", "moved", "unknown"};

}  // namespace

CKoError ReadFacts(CX::CContentContainerDatabase& db, SnapshotFacts& facts)
{
    db.GetValue("Origin", facts.origin);  // absent values stay empty
    db.GetValue("SnapshotState", facts.state);
    db.GetValue("SnapshotProblems", facts.problems);
    CKoError error = CX::ReadRecordedAttributes(db, facts.recorded);
    if (error.IsError())
        return error;
    FX::CSQLite3QueryPtr query;
    error = db.Query("SELECT FolderName, Metadata FROM Folders WHERE Metadata LIKE '%Unreadable=\"%';", query);
    if (error.IsError())
        return error;
    try {
        std::vector<CX::SAttribute> attributes;
        for (; !query->Eof(); query->NextRow()) {
            if (!CX::CAttributeSet::Parse(query->GetStringField(1, ""), attributes))
                continue;
            for (const auto& attribute : attributes)
                if (attribute.key == "Unreadable")
                    facts.unreadableFolders.insert(query->GetStringField(0, ""));
        }
    } catch (const FX::CSQLite3Exception& exception) {
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_DATA, "%s", exception.what());
    }
    return CKoError::Success();
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
    std::fprintf(stderr, "cx: warning: %s: the snapshot %s\n", EscapeLine(container).c_str(), EscapeLine(what).c_str());
}

DiffPrinter::DiffPrinter(FILE* out, const DiffOptions& options, std::set<std::string> unreadable,
                         const CompareRules& rules)
    : out_(out),
      outIsTerminal_(isatty(fileno(out)) != 0),
      options_(options),
      unreadable_(std::move(unreadable)),
      filter_(options.paths),
      comparer_(rules),
      progress_("compared")
{
}

DiffPrinter::~DiffPrinter() = default;

bool DiffPrinter::IsAborted()
{
    progress_.Update(steps_, folder_);
    return g_interrupted.load() || std::ferror(out_) || (spool_ && std::ferror(spool_.get()));
}

CKoError DiffPrinter::OnFolderInIndex1(const string& folderName, const string& metadata)
{
    folder_ = folderName;
    NoteUnreadable(folderName, metadata);
    return OneSided(true, true, folderName, metadata);
}

CKoError DiffPrinter::OnFolderInIndex2(const string& folderName, const string& metadata)
{
    folder_ = folderName;
    NoteUnreadable(folderName, metadata);
    return OneSided(false, true, folderName, metadata);
}

CKoError DiffPrinter::OnFolderInBothIndexes(const string& folderName, const string& metadata1,
                                            const string& metadata2)
{
    folder_ = folderName;
    NoteUnreadable(folderName, metadata1);
    NoteUnreadable(folderName, metadata2);
    InBoth(true, folderName, metadata1, metadata2);
    return CKoError::Success();
}

void DiffPrinter::NoteUnreadable(const std::string& folderName, const std::string& metadata)
{
    // A key starts the text or follows a space; a value holds no bare quote.
    if (metadata.compare(0, 12, "Unreadable=\"") == 0 || metadata.find(" Unreadable=\"") != std::string::npos)
        unreadable_.insert(folderName);
}

CKoError DiffPrinter::OnFileInIndex1(const string& filePath, const string&, const string&, const string& metadata)
{
    return OneSided(true, false, filePath, metadata);
}

CKoError DiffPrinter::OnFileInIndex2(const string& filePath, const string&, const string&, const string& metadata)
{
    return OneSided(false, false, filePath, metadata);
}

CKoError DiffPrinter::OnFileInBothIndexes(const string& filePath, const string&, const string&, const string& metadata1,
                             const string& metadata2)
{
    InBoth(false, filePath, metadata1, metadata2);
    return CKoError::Success();
}

CKoError DiffPrinter::Finish()
{
    progress_.Clear();
    if (spool_ && std::ferror(spool_.get())) {
        errno = EIO;
        return TemporaryFileError(FX_LOCATION);
    }
    if (moves_.Empty())
        return CKoError::Success();
    if (!moves_.Resolve())
        return TemporaryFileError(FX_LOCATION);
    const FX::UniqueFile kept = std::move(spool_);  // from here on, lines go out
    FILE* const spool = kept.get();
    if (spool == nullptr) {  // --stat: nothing was written, only counted
        for (size_t i = 0; i < moves_.Size(); ++i) {
            const CKoError error = Settle(i);
            if (error.IsError())
                return error;
        }
        return CKoError::Success();
    }
    if (std::fflush(spool) != 0 || std::ferror(spool) || std::fseek(spool, 0, SEEK_SET) != 0)
        return TemporaryFileError(FX_LOCATION);
    struct LineBuffer {
        char* text = nullptr;
        size_t capacity = 0;
        ~LineBuffer() { std::free(text); }
    } line;
    CKoError error;
    while (!error.IsError() && getline(&line.text, &line.capacity, spool) > 0) {
        if (line.text[0] == kSlot)
            error = Settle(std::strtoul(line.text + 1, nullptr, 10));
        else
            Print(out_, "%s", line.text);
    }
    if (error.IsError())
        return error;
    if (std::ferror(spool))
        return TemporaryFileError(FX_LOCATION);
    return CKoError::Success();
}

unsigned long long DiffPrinter::Total() const
{
    unsigned long long total = 0;
    for (const auto& change : counts)
        total += change[0] + change[1];
    return total;
}

void DiffPrinter::InBoth(bool folder, const std::string& path, const std::string& before, const std::string& after)
{
    ++steps_;
    if (before != after && filter_.Wanted(path) && comparer_.Compare(before, after, folder, false, changes_))
        Report(BelowUnreadable(path, folder) ? kUnknown : kModified, folder, path, &before, &after, nullptr);
}

CKoError DiffPrinter::OneSided(bool deleted, bool folder, const std::string& path, const std::string& metadata)
{
    ++steps_;
    const std::string* before = deleted ? &metadata : nullptr;
    const std::string* after = deleted ? nullptr : &metadata;
    changes_.clear();
    if (BelowUnreadable(path, folder)) {
        if (filter_.Wanted(path))
            Report(kUnknown, folder, path, before, after, nullptr);
        return CKoError::Success();
    }
    if (!options_.renames) {
        if (filter_.Wanted(path))
            Report(deleted ? kDeleted : kAdded, folder, path, before, after, nullptr);
        return CKoError::Success();
    }
    // Kept whether wanted or not: a move may bring it into the filter.
    uint32_t index = 0;
    if (!moves_.Add(deleted, folder, path, metadata, index))
        return TemporaryFileError(FX_LOCATION);
    if (options_.stat)
        return CKoError::Success();
    if (!spool_) {
        std::fflush(out_);
        spool_.reset(std::tmpfile());
        if (!spool_)
            return TemporaryFileError(FX_LOCATION);
    }
    std::fprintf(spool_.get(), "%c%u\n", kSlot, static_cast<unsigned>(index));
    return CKoError::Success();
}

CKoError DiffPrinter::TemporaryFileError(const FXCodeLocation& location)
{
    return FXErrorUtil::ErrorWin32(location, KO_ERROR_STORAGE_UNAVAILABLE, "temporary file: %s",
                                   std::strerror(errno));
}

CKoError DiffPrinter::Settle(size_t index)
{
    const OneSidedEntry& entry = moves_[index];
    if (entry.deleted && entry.partner != OneSidedEntry::kNone)
        return CKoError::Success();  // shown with its partner
    if (!moves_.Read(index, path_, metadata_))
        return TemporaryFileError(FX_LOCATION);
    changes_.clear();
    if (entry.partner == OneSidedEntry::kNone) {
        if (filter_.Wanted(path_))
            Report(entry.deleted ? kDeleted : kAdded, entry.folder, path_, entry.deleted ? &metadata_ : nullptr,
                   entry.deleted ? nullptr : &metadata_, nullptr);
        return CKoError::Success();
    }
    if (!moves_.Read(entry.partner, oldPath_, oldMetadata_))
        return TemporaryFileError(FX_LOCATION);
    if (entry.movedAlong) {
        if (filter_.Wanted(path_) && comparer_.Compare(oldMetadata_, metadata_, entry.folder, false, changes_))
            Report(kModified, entry.folder, path_, &oldMetadata_, &metadata_, nullptr);
    } else if (filter_.Wanted(path_) || filter_.Wanted(oldPath_)) {
        comparer_.Compare(oldMetadata_, metadata_, entry.folder, true, changes_);
        Report(kMoved, entry.folder, path_, &oldMetadata_, &metadata_, &oldPath_);
    }
    return CKoError::Success();
}

bool DiffPrinter::BelowUnreadable(const std::string& path, bool folder) const
{
    if (unreadable_.empty())
        return false;
    const size_t end = folder ? path.size() - 1 : path.size();
    for (size_t slash = path.find('/'); slash != std::string::npos && slash < end;
         slash = path.find('/', slash + 1))
        if (unreadable_.count(path.substr(0, slash + 1)) != 0)
            return true;
    return false;
}

void DiffPrinter::Report(Change change, bool folder, const std::string& path, const std::string* before,
            const std::string* after, const std::string* oldPath)
{
    ++counts[change][folder ? 0 : 1];
    if (options_.stat)
        return;
    line_.clear();
    if (options_.json) {
        line_ += '{';
        line_ += JsonMember("path", &path);
        line_ += folder ? ",\"kind\":\"folder\",\"change\":\"" : ",\"kind\":\"file\",\"change\":\"";
        line_ += kWords[change];
        line_ += "\",";
        line_ += TypeMember(after != nullptr ? *after : *before);
        if (oldPath != nullptr) {
            line_ += ',';
            line_ += JsonMember("old_path", oldPath);
        }
        if (change == kModified || change == kMoved) {
            line_ += ',';
            line_ += JsonChanges(changes_);
        }
        line_ += ',';
        line_ += JsonMember("old", before);
        line_ += ',';
        line_ += JsonMember("new", after);
        line_ += "}\n";
    } else {
        line_ += kLetters[change];
        line_ += ' ';
        if (oldPath != nullptr) {
            line_ += EscapeLine(*oldPath);
            line_ += " -> ";
        }
        line_ += EscapeLine(path);
        line_ += TextChanges(changes_);
        line_ += '\n';
    }
    if (spool_) {
        std::fwrite(line_.data(), 1, line_.size(), spool_.get());
        return;
    }
    if (outIsTerminal_)
        progress_.Clear();
    Print(out_, "%s", line_.c_str());
}

std::string DiffPrinter::TypeMember(const std::string& metadata)
{
    const std::string* type =
        CX::CAttributeSet::Parse(metadata, attributes_) ? FindAttribute(attributes_, "Type") : nullptr;
    return JsonMember("type", type);
}

void PrintCounts(FILE* out, const DiffPrinter& printer, bool json)
{
    if (json) {
        std::string line = "{";
        for (int change = kAdded; change <= kUnknown; ++change) {
            char part[96];
            std::snprintf(part, sizeof part, "%s\"%s\":{\"folders\":%llu,\"files\":%llu}", change ? "," : "",
                          kWords[change], printer.counts[change][0], printer.counts[change][1]);
            line += part;
        }
        Print(out, "%s}\n", line.c_str());
        return;
    }
    for (int change = kAdded; change <= kUnknown; ++change)
        Print(out, "%-9s %llu folders, %llu files\n", kWords[change], printer.counts[change][0],
              printer.counts[change][1]);
}

namespace {

// What the comparison could not judge, said once on standard error.
void NoteNotCompared(const std::set<std::string>& keys, const CompareRules& rules)
{
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
        resolved.paths.push_back(path);
    }
    CompareRules rules;
    rules.ignored = options.ignored;
    rules.folderMTime = options.folderMTime;
    rules.copy = options.copy;
    rules.before = before.facts.recorded;
    rules.after = after.facts.recorded;
    std::set<std::string> unreadable = before.facts.unreadableFolders;
    unreadable.insert(after.facts.unreadableFolders.begin(), after.facts.unreadableFolders.end());

    ReportStream report;
    auto printer = boost::make_shared<DiffPrinter>(report.Out(), resolved, std::move(unreadable), rules);
    CKoError error = compare(printer);
    // What was kept back goes out after an interruption too, as far as the
    // comparison went.
    if (!error.IsError() || FXErrorUtil::IsWin32(error, KO_ERROR_OPERATION_ABORTED)) {
        const CKoError finished = printer->Finish();
        if (finished.IsError())
            error = finished;
    }
    if (options.stat)
        PrintCounts(report.Out(), *printer, options.json);
    const int written = FinishOutput(report.Out(), kClean);
    if (written != kClean)
        return written;
    NoteNotCompared(printer->NotCompared(), rules);
    // Every path differs then: most likely a copy compared with its original.
    const std::string& oldOrigin = before.facts.origin;
    const std::string& newOrigin = after.facts.origin;
    if (!oldOrigin.empty() && !newOrigin.empty() && oldOrigin != newOrigin)
        std::fprintf(stderr, "cx: note: the snapshots are of different folders (%s and %s); --relative compares "
                             "the paths below each\n",
                     EscapeLine(oldOrigin).c_str(), EscapeLine(newOrigin).c_str());
    if (FXErrorUtil::IsWin32(error, KO_ERROR_OPERATION_ABORTED))
        return kInterrupted;
    if (error.IsError())
        return Fail(before.label + " vs " + after.label, Cause(error));
    return printer->Total() == 0 ? kClean : kReported;
}

}  // namespace cxcli
