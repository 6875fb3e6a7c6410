#include "ReviewContentContainer.h"

#include "ContentContainerDatabase.h"
#include "FXPath.h"
#include "FXString.h"
#include "LogWriter.h"
#include "MakeSharedNothrow.h"
#include "SQLiteConnection.h"

#include <boost/make_shared.hpp>

#include <deque>
#include <optional>
#include <vector>

const std::string SXReviewContentContainerBagId::idAbortCheckPeriod = "AbortCheckPeriod::RCC";

namespace CX {

class CReviewContentContainerPrivate {
public:
    std::string databaseName;
    boost::shared_ptr<CBag> configurationBag;
    int64_t abortCheckPeriod = 0;

    // The period is kept between walks: a walk without a bag uses the last
    // value read.
    void ReadConfiguration()
    {
        if (configurationBag) {
            long period = static_cast<long>(abortCheckPeriod);
            if (!configurationBag->Read(SXReviewContentContainerBagId::idAbortCheckPeriod, period).IsError())
                abortCheckPeriod = period;
        }
        if (abortCheckPeriod < 1)
            abortCheckPeriod = 100;
    }
};

namespace {

// The container opened read-only for one walk, which uses it on its own
// thread and drops it before it returns: without SQLite's mutex. Null when
// memory ran out.
CContentContainerDatabasePtr OpenOwnDatabase(const std::string& databaseName)
{
    FX::detail::OwnThreadConnections ownThread;
    return FX::make_shared_nothrow<CContentContainerDatabase>(databaseName, true);
}

// Steps a listing on. A file that cannot be read on (damaged, or an I/O
// error) ends the walk with SQLite's code in an error made at `where`, the
// walk's own location, rather than with an exception through the host.
bool NextRow(FX::CSQLite3Query& query, CKoError& error, const FXCodeLocation& where)
{
    try {
        query.NextRow();
    } catch (const FX::CSQLite3Exception& exception) {
        error = FX::ErrorFromException(where, exception);
        return false;
    }
    return !query.Eof();
}

// The rows of the collect walk: each folder holding a marked file, once, in
// folder order. Files whose folder row is missing come first as one row of
// NULLs.
const char* const kCollectQuery = "SELECT DISTINCT FolderName, FolderId, FolderMetadata FROM FullyQualifiedFiles "
                                  "WHERE FileMetadata LIKE '%Collect=\"true\"%' ORDER BY FolderName;";
// The same mark in a folder's own metadata. Matched ignoring ASCII case, as
// LIKE matched it in the files, so a folder is judged by the rule that chose it.
const std::string kCollectMark = "Collect=\"true\"";
// No folder name is an ancestor of a lone backslash, so SplitPaths lists
// every proper ancestor.
const std::string kSplitRoot(1, '\\');

// One walk over folder rows in folder order. The stack holds the chain of
// paths known to exist (rows seen, and paths already reported) from the
// outermost down to the last row; since rows come in folder order, whatever
// is not an ancestor of the current row can never be one of a later row.
// Memory is thus bounded by the depth of the deepest path.
class CAncestorWalk {
public:
    CAncestorWalk(const CReviewContentContainerAncestorCallbackPtr& callback, int64_t abortCheckPeriod)
        : callback_(callback), abortCheckPeriod_(abortCheckPeriod)
    {
    }

    // Counts a row; at each multiple of the period asks the host whether to
    // stop, before the row is looked at.
    bool AbortRequested()
    {
        ++rowCount_;
        return rowCount_ % abortCheckPeriod_ == 0 && callback_ && callback_->IsAborted();
    }

    // Reports, outermost first, the ancestors of `folderName` that neither an
    // earlier row nor an earlier report accounts for, and counts each of them
    // as existing from then on. Answers the callback's error, if any, other
    // than "not supported".
    CKoError ReportMissingAncestors(const std::string& folderName)
    {
        FXPath::SplitPaths(folderName, kSplitRoot, ancestors_, 1);  // cannot fail
        while (!stack_.empty() && !FXPath::IsAncestorOf(stack_.back(), folderName, false))
            stack_.pop_back();
        nearest_.assign(stack_.empty() ? std::string() : stack_.back());
        for (const std::string& path : ancestors_) {
            if (FXPath::IsAncestorOf(path, nearest_, true))
                continue;
            CKoError error = Report(path, -1, std::string());
            if (error.IsError())
                return error;
            stack_.push_back(path);
        }
        return CKoError::Success();
    }

    // Hands one folder to the host. The first "not supported" answer switches
    // reports off for the rest of the walk.
    CKoError Report(const std::string& folderName, int64_t folderId, const std::string& folderMetadata)
    {
        if (!reporting_ || !callback_)
            return CKoError::Success();
        std::string name = folderName;
        FXPath::AppendTrailingDelimiter(name);  // cannot fail
        CKoError error = callback_->OnAncestorMissing(name, folderId, folderMetadata);
        if (error.IsError() && FXErrorUtil::IsWin32(error, KO_ERROR_NOT_SUPPORTED)) {
            reporting_ = false;
            return CKoError::Success();
        }
        return error;
    }

    // The row's folder exists: it shields its descendants' ancestor lists.
    void Record(const std::string& folderName) { stack_.push_back(folderName); }

private:
    const CReviewContentContainerAncestorCallbackPtr& callback_;
    const int64_t abortCheckPeriod_;
    int64_t rowCount_ = 0;
    bool reporting_ = true;
    std::deque<std::string> stack_;
    std::vector<std::string> ancestors_;
    std::string nearest_;
};

}  // namespace

CReviewContentContainer::CReviewContentContainer(const string& databaseName)
    : d(boost::make_shared<CReviewContentContainerPrivate>())
{
    d->databaseName = databaseName;
}

CReviewContentContainer::~CReviewContentContainer() = default;

CKoError CReviewContentContainer::SetConfigurationBag(const boost::shared_ptr<CBag>& bag)
{
    d->configurationBag = bag;
    return CKoError::Success();
}

CKoError CReviewContentContainer::CheckAncestors(const CReviewContentContainerAncestorCallbackPtr& callback)
{
    std::optional<RMDebugFunction> trace;
    if (FXGetTraceLevel() >= 0)
        trace.emplace(g_ptrLogWriter, 2, __PRETTY_FUNCTION__, __LINE__, 0, 0, 0xFFFFFFFF);

    d->ReadConfiguration();
    if (d->databaseName.empty())
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_PARAMETER, "Database not specified");

    // Read-only: a review never changes the container, and never creates a
    // file for a name that does not exist.
    const CContentContainerDatabasePtr database = OpenOwnDatabase(d->databaseName);
    if (!database)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_OUTOFMEMORY);

    FX::CSQLite3QueryPtr query;
    CKoError error = database->QueryFolders(query);
    if (error.IsError())  // answer the cause (say, a file that would not open) rather than its echo
        return database->ConstructionErrorOr(error).Push(FX_LOCATION);
    int folderNameField = -1;
    try {
        folderNameField = query->FieldIndex("FolderName");
    } catch (const FX::CSQLite3Exception& exception) {
        return FX::ErrorFromException(FX_LOCATION, exception);
    }

    CAncestorWalk walk(callback, d->abortCheckPeriod);
    for (bool row = !query->Eof(); row; row = NextRow(*query, error, FX_LOCATION)) {
        if (walk.AbortRequested())
            return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_OPERATION_ABORTED);
        const std::string folderName = query->GetStringField(folderNameField, "");
        error = walk.ReportMissingAncestors(folderName);
        if (error.IsError())
            return error.Push(FX_LOCATION);
        walk.Record(folderName);
    }
    return error;  // success, or why the listing could not go on
}

CKoError CReviewContentContainer::CheckCollectAncestors(const CReviewContentContainerAncestorCallbackPtr& callback)
{
    std::optional<RMDebugFunction> trace;
    if (FXGetTraceLevel() >= 0)
        trace.emplace(g_ptrLogWriter, 2, __PRETTY_FUNCTION__, __LINE__, 0, 0, 0xFFFFFFFF);

    d->ReadConfiguration();
    if (d->databaseName.empty())
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_PARAMETER, "Database not specified");

    const CContentContainerDatabasePtr database = OpenOwnDatabase(d->databaseName);
    if (!database)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_OUTOFMEMORY);

    FX::CSQLite3QueryPtr query;
    CKoError error = database->Query(kCollectQuery, query);
    if (error.IsError())  // answer the cause (say, a file that would not open) rather than its echo
        return database->ConstructionErrorOr(error).Push(FX_LOCATION);
    int folderNameField = -1;
    int folderIdField = -1;
    int folderMetadataField = -1;
    try {
        folderNameField = query->FieldIndex("FolderName");
        folderIdField = query->FieldIndex("FolderId");
        folderMetadataField = query->FieldIndex("FolderMetadata");
    } catch (const FX::CSQLite3Exception& exception) {
        return FX::ErrorFromException(FX_LOCATION, exception);
    }

    CAncestorWalk walk(callback, d->abortCheckPeriod);
    for (bool row = !query->Eof(); row; row = NextRow(*query, error, FX_LOCATION)) {
        if (walk.AbortRequested())
            return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_OPERATION_ABORTED);
        const int64_t folderId = query->GetInt64Field(folderIdField, 0);
        const std::string folderName = query->GetStringField(folderNameField, "");
        const std::string folderMetadata = query->GetStringField(folderMetadataField, "");

        error = walk.ReportMissingAncestors(folderName);
        if (error.IsError())
            return error.Push(FX_LOCATION);
        if (FXString::FindStringPos(folderMetadata, kCollectMark, true) == -1) {
            error = walk.Report(folderName, folderId, folderMetadata);
            if (error.IsError())
                return error.Push(FX_LOCATION);
        }
        walk.Record(folderName);
    }
    return error;  // success, or why the listing could not go on
}

}  // namespace CX
