// The container review: the missing-ancestor walk, the collect walk, their
// abort polling, the callback's answers and the read-only opening.
#include "ContentContainerDatabase.h"
#include "ReviewContentContainer.h"
#include "TestSupport.h"

#include <boost/make_shared.hpp>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <tuple>
#include <vector>

namespace {

using CX::CContentContainerDatabase;
using CX::CReviewContentContainer;
using CX::CReviewContentContainerAncestorCallback;

// folder name, folder id, folder metadata
typedef std::tuple<std::string, int64_t, std::string> Event;
typedef std::vector<Event> Events;

const char* const kAncestorsFunction =
    "CKoError CX::CReviewContentContainer::CheckAncestors(const CReviewContentContainerAncestorCallbackPtr&)";
const char* const kCollectFunction =
    "CKoError CX::CReviewContentContainer::CheckCollectAncestors(const CReviewContentContainerAncestorCallbackPtr&)";
const std::string kMark = "Collect=\"true\"";

// Records every report and every abort check. `answer` decides what a report
// returns (success unless set); `aborted` is what IsAborted answers.
class RecordingCallback : public CReviewContentContainerAncestorCallback {
public:
    CKoError OnAncestorMissing(const string& folderName, int64_t folderId, const string& folderMetadata) override
    {
        events.emplace_back(folderName, folderId, folderMetadata);
        if (answer)
            return answer(folderName, folderId, folderMetadata);
        return CKoError::Success();
    }
    bool IsAborted() override
    {
        ++abortChecks;
        return aborted;
    }

    Events events;
    int abortChecks = 0;
    bool aborted = false;
    std::function<CKoError(const string&, int64_t, const string&)> answer;
};

class ReviewContentContainerTest : public TempDirTest {
protected:
    void SetUp() override
    {
        db = std::make_unique<CContentContainerDatabase>(Container(), false);
        ASSERT_FALSE(db->GetConstructionError().IsError()) << db->GetConstructionError().AsString();
        callback = boost::make_shared<RecordingCallback>();
    }
    std::string Container() const { return dir.File("c.cx"); }
    int64_t Folder(const std::string& name, const std::string& metadata = "")
    {
        int64_t id = -1;
        EXPECT_FALSE(db->InsertFolder(name, metadata, CTimeStamp::FromSystemTime(1), id).IsError()) << name;
        return id;
    }
    void Folders(const std::vector<std::string>& names)
    {
        for (const auto& name : names)
            Folder(name);
    }
    void File(int64_t folderId, const std::string& name, const std::string& metadata)
    {
        int64_t id = -1;
        EXPECT_FALSE(db->InsertOrUpdateFile(folderId, name, metadata, CTimeStamp::FromSystemTime(1), id).IsError());
    }
    // A row under a folder id no folder has, as another program may leave
    // one: the library itself refuses to write it.
    void OrphanFile(int64_t folderId, const std::string& name, const std::string& metadata)
    {
        EXPECT_FALSE(db->Execute("INSERT INTO Files (FolderId, FileName, Metadata, RecordCreateTime, "
                                 "RecordUpdateTime) VALUES (" + std::to_string(folderId) + ", '" + name + "', '" +
                                 metadata + "', 1, 1);")
                         .IsError());
    }
    void SetPeriod(long period)
    {
        auto bag = boost::make_shared<CBag>();
        bag->Set("AbortCheckPeriod::RCC", period);
        review.SetConfigurationBag(bag);
    }
    // The walks open the file themselves; the writer lets go of it first.
    CKoError Ancestors(const CReviewContentContainerAncestorCallbackPtr& target)
    {
        db.reset();
        return review.CheckAncestors(target);
    }
    CKoError Collect(const CReviewContentContainerAncestorCallbackPtr& target)
    {
        db.reset();
        return review.CheckCollectAncestors(target);
    }
    static Event Missing(const std::string& name) { return Event(name, -1, ""); }

    std::unique_ptr<CContentContainerDatabase> db;
    boost::shared_ptr<RecordingCallback> callback;
    CReviewContentContainer review{dir.File("c.cx")};
};

// ---------------------------------------------------------------- ancestor walk

TEST_F(ReviewContentContainerTest, EmptyIndexReportsNothingAndAsksNothing)
{
    SetPeriod(1);
    EXPECT_FALSE(Ancestors(callback).IsError());
    EXPECT_FALSE(review.CheckCollectAncestors(callback).IsError());
    EXPECT_TRUE(callback->events.empty());
    EXPECT_EQ(callback->abortChecks, 0);
}

TEST_F(ReviewContentContainerTest, MissingAncestorsAreReportedOnceOutermostFirstInFolderOrder)
{
    db.reset();
    const struct {
        std::vector<std::string> folders;
        std::vector<std::string> reports;
    } cases[] = {
        {{"X/", "X/Y/C/", "X/Y/D/"}, {"X/Y/"}},
        // The first row has nothing above it on the stack: its whole chain.
        {{"/a/b/c/", "r/s/t/"}, {"/", "/a/", "/a/b/", "r/", "r/s/"}},
        // Siblings and names that share a prefix without being below it.
        {{"/", "/a/", "/a/b/", "/a/c/", "/a/c/d/", "/a b/", "/a.b/", "/a.b/x/", "/e/"}, {}},
        {{"/", "/a/", "/a/b/x/", "/a/b/y/z/", "/a/b/y/w/", "/a/c/", "/d/e/", "/d/f/g/"},
         {"/a/b/", "/a/b/y/", "/d/", "/d/f/"}},
    };
    for (const auto& test : cases) {
        for (const char* suffix : {"", "-wal", "-shm"})
            std::filesystem::remove(Container() + suffix);
        db = std::make_unique<CContentContainerDatabase>(Container(), false);
        Folders(test.folders);
        callback->events.clear();
        EXPECT_FALSE(Ancestors(callback).IsError());
        Events expected;
        for (const auto& name : test.reports)
            expected.push_back(Missing(name));
        EXPECT_EQ(callback->events, expected) << test.folders.back();
    }
}

TEST_F(ReviewContentContainerTest, MissingIntermediateIsReportedWhileItsFirstDescendantIsProcessed)
{
    Folders({"X/", "X/Y/C/", "X/Y/D/"});
    db.reset();
    // Stopping before the third row shows the report was not deferred.
    callback->aborted = true;
    SetPeriod(3);
    EXPECT_TRUE(FXErrorUtil::IsWin32(review.CheckAncestors(callback), KO_ERROR_OPERATION_ABORTED));
    EXPECT_EQ(callback->events, Events{Missing("X/Y/")});
}

TEST_F(ReviewContentContainerTest, NullCallbackWalksToTheEnd)
{
    Folders({"/a/b/", "/c/d/"});
    File(Folder("/e/"), "f", kMark);
    EXPECT_FALSE(Ancestors(nullptr).IsError());
    EXPECT_FALSE(review.CheckCollectAncestors(nullptr).IsError());
}

TEST_F(ReviewContentContainerTest, CallbackThatImplementsNothingIsAskedOnceThenLeftAlone)
{
    Folders({"/a/b/", "/c/d/"});
    File(Folder("/e/f/"), "f", kMark);
    File(Folder("/g/h/"), "f", kMark);
    db.reset();

    callback->answer = [this](const string& name, int64_t id, const string& metadata) {
        return callback->CReviewContentContainerAncestorCallback::OnAncestorMissing(name, id, metadata);
    };
    EXPECT_FALSE(review.CheckAncestors(callback).IsError());
    EXPECT_EQ(callback->events, Events{Missing("/")});
    callback->events.clear();
    EXPECT_FALSE(review.CheckCollectAncestors(callback).IsError());
    EXPECT_EQ(callback->events, Events{Missing("/")});

    const auto bare = boost::make_shared<CReviewContentContainerAncestorCallback>();
    EXPECT_FALSE(review.CheckAncestors(bare).IsError());
    EXPECT_FALSE(review.CheckCollectAncestors(bare).IsError());

    const CKoError error = bare->OnAncestorMissing("/x/", -1, "");
    EXPECT_TRUE(FXErrorUtil::IsWin32(error, KO_ERROR_NOT_SUPPORTED));
    ASSERT_EQ(error.Entries().size(), 1u);
    EXPECT_EQ(error.Entries()[0].file, "ReviewContentContainerAncestorCallback");
    EXPECT_EQ(error.Entries()[0].function, "virtual CKoError CX::CReviewContentContainerAncestorCallback::"
                                           "OnAncestorMissing(const string&, int64_t, const string&)");
}

TEST_F(ReviewContentContainerTest, CallbackErrorEndsEitherWalkWithOneEntryAdded)
{
    Folders({"/a/b/", "/c/d/"});
    File(Folder("/e/f/"), "f", kMark);
    db.reset();
    callback->answer = [this](const string&, int64_t, const string&) {
        return callback->events.size() < 2 ? CKoError::Success()
                                           : FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_ACCESS_DENIED, "denied");
    };

    CKoError error = review.CheckAncestors(callback);
    EXPECT_TRUE(FXErrorUtil::IsWin32(error, KO_ERROR_ACCESS_DENIED));
    EXPECT_EQ(callback->events, (Events{Missing("/"), Missing("/a/")}));
    ASSERT_EQ(error.Entries().size(), 2u);
    EXPECT_EQ(error.Entries()[0].message, "denied");
    EXPECT_EQ(error.Entries()[1].file, "ReviewContentContainer");
    EXPECT_EQ(error.Entries()[1].function, kAncestorsFunction);
    EXPECT_EQ(error.Entries()[1].message, "");

    callback->events.clear();
    error = review.CheckCollectAncestors(callback);
    EXPECT_TRUE(FXErrorUtil::IsWin32(error, KO_ERROR_ACCESS_DENIED));
    EXPECT_EQ(callback->events, (Events{Missing("/"), Missing("/e/")}));
    ASSERT_EQ(error.Entries().size(), 2u);
    EXPECT_EQ(error.Entries()[1].function, kCollectFunction);
}

// ---------------------------------------------------------------- abort polling

TEST_F(ReviewContentContainerTest, AbortPeriodFromTheBagWithOneHundredForZeroAndNegative)
{
    // 150 rows below two missing ancestors.
    for (int i = 0; i < 150; ++i)
        Folder("/p/q/" + std::to_string(1000 + i) + "/");
    db.reset();

    SetPeriod(1);
    EXPECT_FALSE(review.CheckAncestors(callback).IsError());
    EXPECT_EQ(callback->abortChecks, 150);

    for (long period : {0L, -7L}) {
        callback = boost::make_shared<RecordingCallback>();
        SetPeriod(period);
        EXPECT_FALSE(review.CheckAncestors(callback).IsError());
        EXPECT_EQ(callback->abortChecks, 1) << period;
    }

    // Asked before the 100th row is looked at: the first row's reports are
    // made, the abort carries no entry of its own beyond the one made.
    callback = boost::make_shared<RecordingCallback>();
    callback->aborted = true;
    const CKoError error = review.CheckAncestors(callback);
    EXPECT_TRUE(FXErrorUtil::IsWin32(error, KO_ERROR_OPERATION_ABORTED));
    ASSERT_EQ(error.Entries().size(), 1u);
    EXPECT_EQ(error.Entries()[0].function, kAncestorsFunction);
    EXPECT_EQ(callback->abortChecks, 1);
    EXPECT_EQ(callback->events, (Events{Missing("/"), Missing("/p/"), Missing("/p/q/")}));
}

TEST_F(ReviewContentContainerTest, PeriodIsKeptBetweenWalksAndTheBagIsReadEachTime)
{
    Folders({"/", "/a/", "/b/"});
    db.reset();
    SetPeriod(1);
    EXPECT_FALSE(review.CheckAncestors(callback).IsError());
    EXPECT_EQ(callback->abortChecks, 3);

    review.SetConfigurationBag(nullptr);
    EXPECT_FALSE(review.CheckAncestors(callback).IsError());
    EXPECT_EQ(callback->abortChecks, 6);

    auto bag = boost::make_shared<CBag>();
    review.SetConfigurationBag(bag);
    bag->Set("AbortCheckPeriod::RCC", 2L);
    EXPECT_FALSE(review.CheckAncestors(callback).IsError());
    EXPECT_EQ(callback->abortChecks, 7);
    bag->Set("AbortCheckPeriod::RCC", "not a number");
    EXPECT_FALSE(review.CheckAncestors(callback).IsError());
    EXPECT_EQ(callback->abortChecks, 8);
}

TEST_F(ReviewContentContainerTest, AbortRequestedEarlyIsNoticedOnlyAtTheFirstMultipleOfThePeriod)
{
    Folders({"/a/b/", "/c/"});
    File(Folder("/d/e/"), "f", kMark);
    db.reset();
    callback->aborted = true;
    EXPECT_FALSE(review.CheckAncestors(callback).IsError());
    EXPECT_EQ(callback->abortChecks, 0);
    EXPECT_EQ(callback->events, (Events{Missing("/"), Missing("/a/"), Missing("/d/")}));

    SetPeriod(1);
    callback->events.clear();
    EXPECT_TRUE(FXErrorUtil::IsWin32(review.CheckCollectAncestors(callback), KO_ERROR_OPERATION_ABORTED));
    EXPECT_TRUE(callback->events.empty());
    EXPECT_EQ(callback->abortChecks, 1);
}

// ---------------------------------------------------------------- collect walk

TEST_F(ReviewContentContainerTest, CollectWithoutMarkedFilesReportsNothing)
{
    const int64_t a = Folder("/x/a/");
    File(a, "f", "Collect=\"false\"");
    File(a, "g", "Collect=true");
    EXPECT_FALSE(Collect(callback).IsError());
    EXPECT_TRUE(callback->events.empty());
}

TEST_F(ReviewContentContainerTest, CollectReportsAncestorsOfMarkedFoldersEvenWhenRecordedThenTheFolders)
{
    Folders({"/", "/X/", "/X/C/"});
    const int64_t a = Folder("/X/A/", "a");
    const int64_t b = Folder("/X/B/", "Collect=\"false\"");
    File(a, "1", "<" + kMark + ">");
    File(a, "2", kMark);
    File(a, "3", "x " + kMark);
    File(a, "4", "");
    File(b, "1", kMark);
    File(Folder("/X/C/D/"), "1", "unmarked");
    EXPECT_FALSE(Collect(callback).IsError());
    EXPECT_EQ(callback->events, (Events{Missing("/"), Missing("/X/"), Event("/X/A/", a, "a"),
                                        Event("/X/B/", b, "Collect=\"false\"")}));
}

TEST_F(ReviewContentContainerTest, CollectNestedMarkedFoldersOnlyReportWhatLiesBetweenThem)
{
    const int64_t a = Folder("/X/A/");
    const int64_t ab = Folder("/X/A/B/");
    const int64_t acd = Folder("/X/A/C/D/");
    Folder("/X/A/C/");
    for (int64_t id : {a, ab, acd})
        File(id, "f", kMark);
    EXPECT_FALSE(Collect(callback).IsError());
    EXPECT_EQ(callback->events, (Events{Missing("/"), Missing("/X/"), Event("/X/A/", a, ""), Event("/X/A/B/", ab, ""),
                                        Missing("/X/A/C/"), Event("/X/A/C/D/", acd, "")}));
}

TEST_F(ReviewContentContainerTest, CollectMarkedFolderIsSilentButShieldsItsDescendantsIgnoringCase)
{
    const int64_t x = Folder("/X/", "COLLECT=\"True\"");
    const int64_t a = Folder("/X/A/");
    const int64_t b = Folder("/X/A/B/", kMark);
    File(x, "f", "collect=\"TRUE\"");
    File(a, "f", kMark);
    File(b, "f", kMark);
    EXPECT_FALSE(Collect(callback).IsError());
    EXPECT_EQ(callback->events, (Events{Missing("/"), Event("/X/A/", a, "")}));
}

TEST_F(ReviewContentContainerTest, CollectFilesWithoutFolderRowFormOneRowThatComesFirst)
{
    OrphanFile(999, "f", kMark);
    OrphanFile(999, "g", kMark);
    OrphanFile(998, "h", kMark);
    const int64_t x = Folder("/X/", "x");
    File(x, "f", kMark);
    EXPECT_FALSE(Collect(callback).IsError());
    // The folderless row has no name, id 0 and no metadata; its empty name
    // takes the delimiter like every reported name.
    EXPECT_EQ(callback->events, (Events{Event("/", 0, ""), Missing("/"), Event("/X/", x, "x")}));
}

// ---------------------------------------------------------------- opening

TEST_F(ReviewContentContainerTest, EmptyNameIsRejectedBeforeAnythingIsOpened)
{
    CReviewContentContainer unnamed("");
    for (const bool collect : {false, true}) {
        const CKoError error = collect ? unnamed.CheckCollectAncestors(callback) : unnamed.CheckAncestors(callback);
        EXPECT_TRUE(FXErrorUtil::IsWin32(error, KO_ERROR_INVALID_PARAMETER));
        ASSERT_EQ(error.Entries().size(), 1u);
        EXPECT_EQ(error.Entries()[0].message, "Database not specified");
        EXPECT_EQ(error.Entries()[0].function, collect ? kCollectFunction : kAncestorsFunction);
    }
}

TEST_F(ReviewContentContainerTest, MissingOrForeignContainerIsAnErrorAndNoFileAppears)
{
    db.reset();
    const TempDir empty;
    CReviewContentContainer missing(empty.File("none.cx"));
    for (const bool collect : {false, true}) {
        const CKoError error = collect ? missing.CheckCollectAncestors(callback) : missing.CheckAncestors(callback);
        EXPECT_TRUE(FXErrorUtil::IsSQLite(error, 14)) << error.AsString();  // SQLITE_CANTOPEN, the real cause
        EXPECT_EQ(error.Entries().back().function, collect ? kCollectFunction : kAncestorsFunction);
    }
    EXPECT_TRUE(std::filesystem::is_empty(empty.Path()));

    const std::string foreign = empty.File("notes.txt");
    const std::string text(5000, 'n');
    WriteFileBytes(foreign, text);
    CReviewContentContainer notDatabase(foreign);
    EXPECT_TRUE(FXErrorUtil::IsSQLite(notDatabase.CheckAncestors(callback), 26));  // SQLITE_NOTADB
    EXPECT_TRUE(FXErrorUtil::IsSQLite(notDatabase.CheckCollectAncestors(callback), 26));
    EXPECT_EQ(ReadFileBytes(foreign), text);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(empty.Path()), {}), 1);
    EXPECT_TRUE(callback->events.empty());
}

TEST_F(ReviewContentContainerTest, WalksLeaveTheContainerUntouched)
{
    File(Folder("/a/b/", "m"), "f", kMark);
    db.reset();
    const std::string before = ReadFileBytes(Container());
    ASSERT_FALSE(before.empty());
    ASSERT_EQ(chmod(Container().c_str(), 0444), 0);

    EXPECT_FALSE(review.CheckAncestors(callback).IsError());
    EXPECT_FALSE(review.CheckCollectAncestors(callback).IsError());
    EXPECT_EQ(callback->events, (Events{Missing("/"), Missing("/a/"), Missing("/"), Missing("/a/"),
                                        Event("/a/b/", 1, "m")}));
    EXPECT_EQ(ReadFileBytes(Container()), before);
    // SQLite may leave a log beside it; nothing was written to that either.
    EXPECT_EQ(ReadFileBytes(Container() + "-wal"), "");
}

}  // namespace
