#include "CompareContentContainers.h"

#include "CompareContentContainersPrivate.h"
#include "ListingCursors.h"
#include "FXPath.h"
#include "LogWriter.h"
#include "MakeSharedNothrow.h"
#include "SQLiteConnection.h"

#include <boost/make_shared.hpp>

#include <optional>

const string SXCompareContentContainersBagId::idAbortCheckPeriod = "AbortCheckPeriod::CCC";
const string SXCompareContentContainersBagId::idRecurseDeletedFolders = "RecurseDeletedFolders::CCC";

namespace CX {

namespace {

// The folder operations still in use in this run, per side and form.
enum FolderForm : unsigned {
    kFolderInIndex1 = 1u,
    kFolderInIndex1Recurse = 2u,
    kFolderInIndex2 = 4u,
    kFolderInIndex2Recurse = 8u,
    kFolderInBoth = 16u,
    kFolderInBothRecurse = 32u,
};

// The folder walk of one run over two open listings. Its errors carry the
// location of CompareDatabases, whose work it is.
class FolderWalk {
public:
    FolderWalk(CCompareContentContainersPrivate& data, const char* function, const CContentContainerDatabasePtr& db1,
               const CContentContainerDatabasePtr& db2, FolderCursor& cursor1, FolderCursor& cursor2)
        : data_(data), host_(*data.callback), function_(function), db1_(db1), db2_(db2), cursor_{&cursor1, &cursor2}
    {
    }

    CKoError Run()
    {
        FolderCursor& cursor1 = *cursor_[0];
        FolderCursor& cursor2 = *cursor_[1];
        while (!cursor1.AtEnd() || !cursor2.AtEnd()) {
            ++stepCounter_;
            ++folderStepCount_;
            if (stepCounter_ % data_.abortCheckPeriod == 0 && host_.IsAborted())
                return FXErrorUtil::ErrorWin32(Here(__LINE__), KO_ERROR_OPERATION_ABORTED);

            // Names are ordered only while both listings have a row in hand; the
            // end of a listing decides the rest. Folder ids say nothing here: a
            // stored id may well be 0 or negative.
            const int order =
                !cursor1.AtEnd() && !cursor2.AtEnd() ? db2_->CompareFolderName(cursor1.name, cursor2.name) : 0;
            CKoError error;
            if ((order < 0 && !cursor1.AtEnd()) || cursor2.AtEnd())
                error = OneSided(0);
            else if ((order > 0 && !cursor2.AtEnd()) || cursor1.AtEnd())
                error = OneSided(1);
            else
                error = InBoth();
            if (error.IsError())
                return error;
        }
        return CKoError::Success();
    }

private:
    FXCodeLocation Here(int line) const { return FXCodeLocation{FXDetail::SourceBaseName(__FILE__), function_, line}; }

    // Error 50 retires the form for the rest of the run; anything else ends it.
    CKoError Answer(CKoError answer, unsigned form, int line)
    {
        if (FXErrorUtil::IsWin32(answer, KO_ERROR_NOT_SUPPORTED)) {
            forms_ &= ~form;
            return CKoError::Success();
        }
        return answer.Push(Here(line));
    }

    CKoError CompareFiles(const string& folderName, int64_t folderId1, int64_t folderId2)
    {
        CKoError error = data_.CompareDatabaseFolder(folderName, db1_, folderId1, db2_, folderId2, stepCounter_,
                                                     folderStepCount_);
        if (error.IsError())
            error.Push(Here(__LINE__), "FolderName=[%s], PrevFolderId=[%lld], CurrFolderId=[%lld]", folderName.c_str(),
                       static_cast<long long>(cursor_[0]->id), static_cast<long long>(cursor_[1]->id));
        return error;
    }

    // A folder that only index 1 (side 0) or only index 2 (side 1) has.
    CKoError OneSided(int side)
    {
        FolderCursor& cursor = *cursor_[side];
        const unsigned plain = side == 0 ? kFolderInIndex1 : kFolderInIndex2;
        const unsigned withRecurse = side == 0 ? kFolderInIndex1Recurse : kFolderInIndex2Recurse;
        bool recurse = data_.recurseDeletedFolders;
        CKoError error;
        if (forms_ & plain) {
            error = Answer(side == 0 ? host_.OnFolderInIndex1(cursor.name, cursor.Metadata())
                                     : host_.OnFolderInIndex2(cursor.name, cursor.Metadata()),
                           plain, __LINE__);
            if (error.IsError())
                return error;
        }
        if (!(forms_ & plain) && (forms_ & withRecurse)) {
            error = Answer(side == 0 ? host_.OnFolderInIndex1(cursor.name, cursor.Metadata(), recurse)
                                     : host_.OnFolderInIndex2(cursor.name, cursor.Metadata(), recurse),
                           withRecurse, __LINE__);
            if (error.IsError())
                return error;
        }

        if (recurse) {
            error = CompareFiles(cursor.name, side == 0 ? cursor.id : -1, side == 1 ? cursor.id : -1);
            if (error.IsError())
                return error;
            cursor.Advance();
            return CKoError::Success();
        }
        // The folders below a folder follow it without interruption in the
        // listing's order, so passing over its subtree is a run of advances.
        const string passedOver = cursor.name;
        do {
            cursor.Advance();
        } while (!cursor.AtEnd() && FXPath::IsDescendantOf(cursor.name, passedOver, false));
        return CKoError::Success();
    }

    CKoError InBoth()
    {
        FolderCursor& cursor1 = *cursor_[0];
        FolderCursor& cursor2 = *cursor_[1];
        bool recurse = true;
        CKoError error;
        if (forms_ & kFolderInBoth) {
            error = Answer(host_.OnFolderInBothIndexes(cursor1.name, cursor1.Metadata(), cursor2.Metadata()),
                           kFolderInBoth, __LINE__);
            if (error.IsError())
                return error;
        }
        if (!(forms_ & kFolderInBoth) && (forms_ & kFolderInBothRecurse)) {
            error = Answer(host_.OnFolderInBothIndexes(cursor1.name, cursor1.Metadata(), cursor2.Metadata(), recurse),
                           kFolderInBothRecurse, __LINE__);
            if (error.IsError())
                return error;
        }
        if (recurse) {
            error = CompareFiles(cursor1.name, cursor1.id, cursor2.id);
            if (error.IsError())
                return error;
        }
        cursor1.Advance();
        cursor2.Advance();
        return CKoError::Success();
    }

    CCompareContentContainersPrivate& data_;
    CCompareContentContainersCallback& host_;
    const char* function_;
    const CContentContainerDatabasePtr& db1_;
    const CContentContainerDatabasePtr& db2_;
    FolderCursor* cursor_[2];
    LONGLONG stepCounter_ = 0;
    LONGLONG folderStepCount_ = 0;
    unsigned forms_ = kFolderInIndex1 | kFolderInIndex1Recurse | kFolderInIndex2 | kFolderInIndex2Recurse |
                      kFolderInBoth | kFolderInBothRecurse;
};

}  // namespace

CCompareContentContainers::CCompareContentContainers(const string& currentDatabaseName,
                                                     const string& previousDatabaseName,
                                                     const CCompareContentContainersCallbackPtr& callback)
    : d(boost::make_shared<CCompareContentContainersPrivate>())
{
    d->currentDatabaseName = currentDatabaseName;
    d->previousDatabaseName = previousDatabaseName;
    d->callback = callback;
}

CCompareContentContainers::~CCompareContentContainers() {}

CKoError CCompareContentContainers::SetConfigurationBag(const boost::shared_ptr<CBag>& bag)
{
    d->configurationBag = bag;
    return CKoError::Success();
}

CKoError CCompareContentContainers::CompareDatabases()
{
    std::optional<RMDebugFunction> trace;
    if (FXGetTraceLevel() >= 0)
        trace.emplace(g_ptrLogWriter, 2, __PRETTY_FUNCTION__, __LINE__, 2, 0, 0xFFFFFFFF);

    if (d->configurationBag) {
        // Absent or unreadable keys keep the value in force.
        long period = static_cast<long>(d->abortCheckPeriod);
        d->configurationBag->Read(SXCompareContentContainersBagId::idAbortCheckPeriod, period);
        d->abortCheckPeriod = period;
        d->configurationBag->Read(SXCompareContentContainersBagId::idRecurseDeletedFolders, d->recurseDeletedFolders);
    }
    if (d->abortCheckPeriod < 1)
        d->abortCheckPeriod = 100;

    if (d->previousDatabaseName.empty())
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_PARAMETER,
                                       "Previous database not specified, PrevDatabaseName=[%s], CurrDatabaseName=[%s]",
                                       d->previousDatabaseName.c_str(), d->currentDatabaseName.c_str());
    if (!d->callback)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_PARAMETER,
                                       "Callback not specified, PrevDatabaseName=[%s], CurrDatabaseName=[%s]",
                                       d->previousDatabaseName.c_str(), d->currentDatabaseName.c_str());

    // Declared before the cursors, so that the listings are released before
    // their databases however the run ends, exceptions included. Both are
    // this run's alone, on this thread: they go without SQLite's mutex.
    CContentContainerDatabasePtr database1;
    {
        FX::detail::OwnThreadConnections ownThread;
        database1 = FX::make_shared_nothrow<CContentContainerDatabase>(d->previousDatabaseName, true);
    }
    if (!database1)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_OUTOFMEMORY);
    if (d->currentDatabaseName.empty())
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_PARAMETER,
                                       "Current database not specified, PrevDatabaseName=[%s], CurrDatabaseName=[%s]",
                                       d->previousDatabaseName.c_str(), d->currentDatabaseName.c_str());
    // Read-only as well: a comparison only reads, and a misspelled name must
    // not become an empty container that has every entry deleted.
    CContentContainerDatabasePtr database2;
    {
        FX::detail::OwnThreadConnections ownThread;
        database2 = FX::make_shared_nothrow<CContentContainerDatabase>(d->currentDatabaseName, true);
    }
    if (!database2)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_OUTOFMEMORY);

    FolderCursor cursor1;
    CKoError error = database1->QueryFolders(cursor1.query);
    if (error.IsError())  // answer the cause (say, a file that would not open) rather than its echo
        return database1->ConstructionErrorOr(error).Push(FX_LOCATION);
    FolderCursor cursor2;
    error = database2->QueryFolders(cursor2.query);
    if (error.IsError())
        return database2->ConstructionErrorOr(error).Push(FX_LOCATION);

    // A listing that cannot be read on ends the run with SQLite's code; what
    // a callback throws passes on unchanged.
    try {
        cursor1.Open();
        cursor2.Open();
        return FolderWalk(*d, __PRETTY_FUNCTION__, database1, database2, cursor1, cursor2).Run();
    } catch (const CListingFailure& failure) {
        return FX::ErrorFromException(FX_LOCATION, failure.exception);
    }
}

}  // namespace CX
