// cx review: folders missing from a snapshot.
#include "Command.h"

#include "Arguments.h"
#include "Options.h"
#include "Output.h"
#include "Progress.h"

#include "ReviewContentContainer.h"
#include "ReviewContentContainerAncestorCallback.h"

#include <CLI/CLI.hpp>
#include <boost/make_shared.hpp>

namespace cxcli {

namespace {

class MissingPrinter : public CX::CReviewContentContainerAncestorCallback {
public:
    explicit MissingPrinter(FILE* out) : out_(out) {}
    // A write error ends the review: nothing more could be reported.
    bool IsAborted() override { return g_interrupted.load() || std::ferror(out_); }
    CKoError OnAncestorMissing(const string& folderName, int64_t folderId, const string& folderMetadata) override
    {
        ++reported;
        if (folderId == -1)
            Print(out_, "%s\n", EscapeLine(folderName).c_str());
        else
            Print(out_, "%s\t%lld\t%s\n", EscapeLine(folderName).c_str(), static_cast<long long>(folderId),
                  EscapeLine(folderMetadata).c_str());
        return CKoError::Success();
    }
    unsigned long long reported = 0;

private:
    FILE* out_;
};

int RunReview(const std::string& container, bool collect)
{
    if (!CheckContainer(container))
        return kTrouble;
    ReportStream report;
    auto printer = boost::make_shared<MissingPrinter>(report.Out());
    CX::CReviewContentContainer review(container);
    const CReviewContentContainerAncestorCallbackPtr callback = printer;
    const CKoError error = collect ? review.CheckCollectAncestors(callback) : review.CheckAncestors(callback);
    const int written = FinishOutput(report.Out(), kClean);
    if (written != kClean)
        return written;
    if (FXErrorUtil::IsWin32(error, KO_ERROR_OPERATION_ABORTED))
        return kInterrupted;
    if (error.IsError())
        return Fail(container, Cause(error));
    return printer->reported == 0 ? kClean : kReported;
}

class ReviewCommand : public Command {
public:
    CLI::App& Define(CLI::App& app) override
    {
        auto* command = app.add_subcommand("review", "List folders missing from a container");
        command->add_option("CONTAINER", container_, "Container file")->required();
        command->add_flag("--collect", collect_, "Review the ancestors of files marked Collect=\"true\"");
        return *command;
    }

    int Run(const std::string&) override
    {
        if (!NamesGiven("container", container_))
            return kTrouble;
        return RunReview(container_, collect_);
    }

private:
    std::string container_;
    bool collect_ = false;
};

}  // namespace

std::unique_ptr<Command> MakeReviewCommand() { return std::make_unique<ReviewCommand>(); }

}  // namespace cxcli
