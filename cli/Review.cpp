// cx review: folders missing from a snapshot.
#include "Cli.h"

#include "ReviewContentContainer.h"
#include "ReviewContentContainerAncestorCallback.h"

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
}  // namespace

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

}  // namespace cxcli
