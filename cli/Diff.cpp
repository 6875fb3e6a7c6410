// cx diff: what changed between two snapshots, in tree order.
//
// Metadata is compared attribute by attribute: an attribute that only one
// snapshot recorded (a digest taken with --checksum on one side only) is not a
// change, and one note on standard error names such attributes. Entries below
// a folder that either snapshot could not read are reported as unknown ("?"),
// not as added or deleted. A snapshot that is not complete is named in a
// warning on standard error first.
#include "Cli.h"

#include "Attributes.h"
#include "Bag.h"
#include "CompareContentContainers.h"
#include "CompareContentContainersCallback.h"
#include "ContentContainerDatabase.h"

#include <boost/make_shared.hpp>

#include <functional>
#include <set>

namespace cxcli {

namespace {

enum Change { kAdded, kDeleted, kModified, kUnknown };
const char kLetters[] = {'A', 'D', 'M', '?'};
const char* const kWords[] = {"added", "deleted", "modified", "unknown"};

// What a snapshot says about itself beyond its rows.
struct SnapshotFacts {
    std::string state;
    std::string problems;
    std::set<std::string> unreadableFolders;
};

CKoError ReadFacts(CX::CContentContainerDatabase& db, SnapshotFacts& facts)
{
    db.GetValue("SnapshotState", facts.state);  // absent values stay empty
    db.GetValue("SnapshotProblems", facts.problems);
    FX::CSQLite3QueryPtr query;
    CKoError error = db.Query("SELECT FolderName, Metadata FROM Folders WHERE Metadata LIKE '%Unreadable=\"%';", query);
    if (error.IsError())
        return error;
    try {
        std::vector<Attribute> attributes;
        for (; !query->Eof(); query->NextRow()) {
            if (!ParseAttributes(query->GetStringField(1, ""), attributes))
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

class DiffPrinter : public CX::CCompareContentContainersCallback {
public:
    DiffPrinter(FILE* out, const DiffOptions& options, std::set<std::string> unreadable)
        : out_(out), options_(options), unreadable_(std::move(unreadable))
    {
    }

    // A write error ends the comparison: nothing more could be reported.
    bool IsAborted() override { return g_interrupted.load() || std::ferror(out_); }

    CKoError OnFolderInIndex1(const string& folderName, const string& metadata) override
    {
        Report(kDeleted, true, folderName, &metadata, nullptr);
        return CKoError::Success();
    }
    CKoError OnFolderInIndex2(const string& folderName, const string& metadata) override
    {
        Report(kAdded, true, folderName, nullptr, &metadata);
        return CKoError::Success();
    }
    CKoError OnFolderInBothIndexes(const string& folderName, const string& metadata1,
                                   const string& metadata2) override
    {
        if (Differs(metadata1, metadata2))
            Report(kModified, true, folderName, &metadata1, &metadata2);
        return CKoError::Success();
    }
    CKoError OnFileInIndex1(const string& filePath, const string&, const string&, const string& metadata) override
    {
        Report(kDeleted, false, filePath, &metadata, nullptr);
        return CKoError::Success();
    }
    CKoError OnFileInIndex2(const string& filePath, const string&, const string&, const string& metadata) override
    {
        Report(kAdded, false, filePath, nullptr, &metadata);
        return CKoError::Success();
    }
    CKoError OnFileInBothIndexes(const string& filePath, const string&, const string&, const string& metadata1,
                                 const string& metadata2) override
    {
        if (Differs(metadata1, metadata2))
            Report(kModified, false, filePath, &metadata1, &metadata2);
        return CKoError::Success();
    }

    unsigned long long counts[4][2] = {};  // [change][folder, file]
    std::set<std::string> notCompared;      // attributes one snapshot only recorded

    unsigned long long Total() const
    {
        unsigned long long total = 0;
        for (const auto& change : counts)
            total += change[0] + change[1];
        return total;
    }

private:
    // Whether two metadata texts differ in an attribute both record. Texts
    // that are no attribute lists, or share no attribute, differ as texts.
    bool Differs(const std::string& before, const std::string& after)
    {
        if (before == after)
            return false;
        if (!ParseAttributes(before, before_) || !ParseAttributes(after, after_))
            return true;
        bool shared = false;
        bool differs = false;
        for (const auto& attribute : before_) {
            const Attribute* other = Find(after_, attribute.key);
            if (other == nullptr) {
                notCompared.insert(attribute.key);
                continue;
            }
            shared = true;
            differs = differs || other->value != attribute.value;
        }
        for (const auto& attribute : after_)
            if (Find(before_, attribute.key) == nullptr)
                notCompared.insert(attribute.key);
        return differs || !shared;
    }

    static const Attribute* Find(const std::vector<Attribute>& attributes, const std::string& key)
    {
        for (const auto& attribute : attributes)
            if (attribute.key == key)
                return &attribute;
        return nullptr;
    }

    // Whether `path` lies below a folder one of the snapshots could not read.
    bool BelowUnreadable(const std::string& path, bool folder) const
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

    void Report(Change change, bool folder, const std::string& path, const std::string* before,
                const std::string* after)
    {
        if (BelowUnreadable(path, folder))
            change = kUnknown;
        ++counts[change][folder ? 0 : 1];
        if (options_.stat)
            return;
        if (options_.json) {
            Print(out_, "{%s,\"kind\":\"%s\",\"change\":\"%s\",%s,%s}\n", JsonMember("path", &path).c_str(),
                  folder ? "folder" : "file", kWords[change], JsonMember("old", before).c_str(),
                  JsonMember("new", after).c_str());
        } else {
            Print(out_, "%c %s\n", kLetters[change], EscapeLine(path).c_str());
        }
    }

    FILE* out_;
    const DiffOptions& options_;
    const std::set<std::string> unreadable_;
    std::vector<Attribute> before_;
    std::vector<Attribute> after_;
};

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

}  // namespace

int RunDiff(const DiffOptions& options)
{
    // Both sides must exist and be containers: the comparison would create a
    // missing current container, and a typo should not leave a file behind.
    if (!CheckContainer(options.oldContainer) || !CheckContainer(options.newContainer))
        return kTrouble;
    std::set<std::string> unreadable;
    const std::string& newLabel = options.newLabel.empty() ? options.newContainer : options.newLabel;
    for (const auto* name : {&options.oldContainer, &options.newContainer}) {
        const std::string& label = name == &options.newContainer ? newLabel : *name;
        CX::CContentContainerDatabase probe(*name, true);
        if (probe.GetConstructionError().IsError())
            return Fail(label, Cause(probe.GetConstructionError()));
        SnapshotFacts facts;
        const CKoError error = ReadFacts(probe, facts);
        if (error.IsError())
            return Fail(label, Cause(error));
        WarnIfNotComplete(label, facts);
        unreadable.insert(facts.unreadableFolders.begin(), facts.unreadableFolders.end());
    }

    ReportStream report;
    auto printer = boost::make_shared<DiffPrinter>(report.Out(), options, std::move(unreadable));
    CX::CCompareContentContainers comparison(options.newContainer, options.oldContainer, printer);
    auto bag = boost::make_shared<CBag>();
    bag->Set("RecurseDeletedFolders::CCC", options.recurseDeleted);
    if (options.checkPeriod > 0)
        bag->Set("AbortCheckPeriod::CCC", options.checkPeriod);
    comparison.SetConfigurationBag(bag);
    const CKoError error = comparison.CompareDatabases();
    if (options.stat)
        PrintCounts(report.Out(), *printer, options.json);
    const int written = FinishOutput(report.Out(), kClean);
    if (written != kClean)
        return written;
    if (!printer->notCompared.empty()) {
        std::string keys;
        for (const auto& key : printer->notCompared)
            keys += (keys.empty() ? "" : ", ") + key;
        std::fprintf(stderr, "cx: note: not compared, recorded in one snapshot only: %s\n", EscapeLine(keys).c_str());
    }
    if (FXErrorUtil::IsWin32(error, KO_ERROR_OPERATION_ABORTED))
        return kInterrupted;
    if (error.IsError())
        return Fail(options.oldContainer + " vs " + newLabel, Cause(error));
    return printer->Total() == 0 ? kClean : kReported;
}

}  // namespace cxcli
