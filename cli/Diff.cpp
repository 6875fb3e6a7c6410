// cx diff: what changed between two snapshots, in tree order.
#include "Cli.h"

#include "Bag.h"
#include "CompareContentContainers.h"
#include "CompareContentContainersCallback.h"
#include "ContentContainerDatabase.h"

#include <boost/make_shared.hpp>

namespace cxcli {

namespace {

class DiffPrinter : public CX::CCompareContentContainersCallback {
public:
    DiffPrinter(FILE* out, const DiffOptions& options) : out_(out), options_(options) {}

    // A write error ends the comparison: nothing more could be reported.
    bool IsAborted() override { return g_interrupted.load() || std::ferror(out_); }

    CKoError OnFolderInIndex1(const string& folderName, const string& metadata) override
    {
        Report('D', true, folderName, &metadata, nullptr);
        return CKoError::Success();
    }
    CKoError OnFolderInIndex2(const string& folderName, const string& metadata) override
    {
        Report('A', true, folderName, nullptr, &metadata);
        return CKoError::Success();
    }
    CKoError OnFolderInBothIndexes(const string& folderName, const string& metadata1,
                                   const string& metadata2) override
    {
        if (metadata1 != metadata2)
            Report('M', true, folderName, &metadata1, &metadata2);
        return CKoError::Success();
    }
    CKoError OnFileInIndex1(const string& filePath, const string&, const string&, const string& metadata) override
    {
        Report('D', false, filePath, &metadata, nullptr);
        return CKoError::Success();
    }
    CKoError OnFileInIndex2(const string& filePath, const string&, const string&, const string& metadata) override
    {
        Report('A', false, filePath, nullptr, &metadata);
        return CKoError::Success();
    }
    CKoError OnFileInBothIndexes(const string& filePath, const string&, const string&, const string& metadata1,
                                 const string& metadata2) override
    {
        if (metadata1 != metadata2)
            Report('M', false, filePath, &metadata1, &metadata2);
        return CKoError::Success();
    }

    unsigned long long counts[3][2] = {};  // [A, D, M][folder, file]

    unsigned long long Total() const
    {
        unsigned long long total = 0;
        for (const auto& change : counts)
            total += change[0] + change[1];
        return total;
    }

private:
    void Report(char change, bool folder, const std::string& path, const std::string* before,
                const std::string* after)
    {
        ++counts[change == 'A' ? 0 : change == 'D' ? 1 : 2][folder ? 0 : 1];
        if (options_.stat)
            return;
        if (options_.json) {
            const char* word = change == 'A' ? "added" : change == 'D' ? "deleted" : "modified";
            std::fprintf(out_, "{%s,\"kind\":\"%s\",\"change\":\"%s\",%s,%s}\n", JsonMember("path", &path).c_str(),
                         folder ? "folder" : "file", word, JsonMember("old", before).c_str(),
                         JsonMember("new", after).c_str());
        } else {
            std::fprintf(out_, "%c %s\n", change, EscapeLine(path).c_str());
        }
    }

    FILE* out_;
    const DiffOptions& options_;
};

}  // namespace

int RunDiff(const DiffOptions& options)
{
    // Both sides must exist and be containers: the comparison would create a
    // missing current container, and a typo should not leave a file behind.
    if (!CheckContainer(options.oldContainer) || !CheckContainer(options.newContainer))
        return kTrouble;
    for (const auto* name : {&options.oldContainer, &options.newContainer}) {
        CX::CContentContainerDatabase probe(*name, true);
        if (probe.GetConstructionError().IsError())
            return Fail(*name, Cause(probe.GetConstructionError()));
    }

    ReportStream report;
    auto printer = boost::make_shared<DiffPrinter>(report.Out(), options);
    CX::CCompareContentContainers comparison(options.newContainer, options.oldContainer, printer);
    auto bag = boost::make_shared<CBag>();
    bag->Set("RecurseDeletedFolders::CCC", options.recurseDeleted);
    if (options.checkPeriod > 0)
        bag->Set("AbortCheckPeriod::CCC", options.checkPeriod);
    comparison.SetConfigurationBag(bag);
    const CKoError error = comparison.CompareDatabases();
    if (options.stat) {
        const char* names[3] = {"added", "deleted", "modified"};
        for (int change = 0; change < 3; ++change)
            std::fprintf(report.Out(), "%-9s %llu folders, %llu files\n", names[change], printer->counts[change][0],
                         printer->counts[change][1]);
    }
    const int written = FinishOutput(report.Out(), kClean);
    if (written != kClean)
        return written;
    if (FXErrorUtil::IsWin32(error, KO_ERROR_OPERATION_ABORTED))
        return kInterrupted;
    if (error.IsError())
        return Fail(options.oldContainer + " vs " + options.newContainer, Cause(error));
    return printer->Total() == 0 ? kClean : kReported;
}

}  // namespace cxcli
