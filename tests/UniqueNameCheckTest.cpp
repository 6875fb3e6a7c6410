// The unique name checker: answers through a checker and its clones, case
// handling, the count line, error chains, unusable checkers and many threads
// on one set of names.
#include "FaultVfs.h"
#include "LogWriter.h"
#include "TestSupport.h"
#include "UniqueNameCheck.h"
#include "UniqueNameCheckPrivate.h"

#include <boost/make_shared.hpp>
#include <sqlite3.h>

#include <atomic>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace CX {
class UniqueNameCheckTestAccess {
public:
    static CUniqueNameCheckDatabasePtr Database(CUniqueNameCheck& check) { return check.d->database; }
};
}  // namespace CX

namespace {

using CX::CUniqueNameCheck;
using CX::CUniqueNameCheckPtr;
using CX::UniqueNameCheckTestAccess;

const char* const kCheckName = "CKoError CX::CUniqueNameCheck::CheckName(const string&, bool&)";
const char* const kInsertName = "CKoError CX::CUniqueNameCheckPrivate::InsertName(const string&, bool&)";

// Answers of CheckName as text: "new", "exists" or "error".
std::string Check(CUniqueNameCheck& check, const std::string& name)
{
    bool exists = true;  // CheckName must overwrite it
    CKoError error = check.CheckName(name, exists);
    if (error.IsError())
        return exists ? "error+exists" : "error";
    return exists ? "exists" : "new";
}

std::vector<std::string> CheckAll(CUniqueNameCheck& check, const std::vector<std::string>& names)
{
    std::vector<std::string> answers;
    for (const std::string& name : names)
        answers.push_back(Check(check, name));
    return answers;
}

int64_t CountNames(CUniqueNameCheck& check)
{
    int64_t count = -1;
    EXPECT_FALSE(UniqueNameCheckTestAccess::Database(check)->QueryScalar("SELECT COUNT(*) FROM Names;", count, -1)
                     .IsError());
    return count;
}

// Records every line while it exists, in place of the process's writer.
class ScopedLogRecorder {
public:
    explicit ScopedLogRecorder(int level) : recorder(boost::make_shared<Recorder>()), saved(g_ptrLogWriter)
    {
        recorder->level = level;
        g_ptrLogWriter = recorder;
    }
    ~ScopedLogRecorder() { g_ptrLogWriter = saved; }
    void SetLevel(int level) { recorder->level = level; }
    std::vector<std::string> Lines()
    {
        std::lock_guard<std::mutex> guard(recorder->mutex);
        return recorder->lines;
    }

private:
    struct Recorder : CLogWriterInterface {
        int GetTraceLevel() const override { return level; }
        void SetTraceLevel(int value) override { level = value; }
        void WriteLine(int lineLevel, const char* function, int, const std::string& text) override
        {
            std::lock_guard<std::mutex> guard(mutex);
            lines.push_back(std::to_string(lineLevel) + " " + function + ": " + text);
        }
        int level = 0;
        std::mutex mutex;
        std::vector<std::string> lines;
    };
    boost::shared_ptr<Recorder> recorder;
    boost::shared_ptr<CLogWriterInterface> saved;
};

TEST(UniqueNameCheckTest, NamesAreNewOnceAcrossTheCheckerAndItsClones)
{
    CUniqueNameCheck check(true);
    EXPECT_EQ(CheckAll(check, {"a", "a", "b"}), (std::vector<std::string>{"new", "exists", "new"}));
    CUniqueNameCheckPtr clone = check.GetClone();  // made after names were recorded
    ASSERT_TRUE(clone);
    EXPECT_EQ(CheckAll(*clone, {"a", "b", "c", "c"}), (std::vector<std::string>{"exists", "exists", "new", "exists"}));
    EXPECT_EQ(Check(check, "c"), "exists");
    CUniqueNameCheckPtr grandchild = clone->GetClone();
    ASSERT_TRUE(grandchild);
    EXPECT_EQ(CheckAll(*grandchild, {"a", "c", "d"}), (std::vector<std::string>{"exists", "exists", "new"}));
    EXPECT_EQ(Check(check, "d"), "exists");
    EXPECT_EQ(Check(*clone, "d"), "exists");
    EXPECT_EQ(CountNames(check), 4);

    // A separate checker is a separate set of names.
    CUniqueNameCheck other(true);
    EXPECT_EQ(CheckAll(other, {"a", "a"}), (std::vector<std::string>{"new", "exists"}));
    EXPECT_EQ(CountNames(check), 4);
}

TEST(UniqueNameCheckTest, NamesOddAndOrdinaryAreComparedWhole)
{
    CUniqueNameCheck check(true);
    const std::string withNul("a\0b", 3);
    EXPECT_EQ(CheckAll(check, {"", "", "a", withNul, std::string("a\0c", 3), withNul, " ", "a/"}),
              (std::vector<std::string>{"new", "exists", "new", "new", "new", "exists", "new", "new"}));
    EXPECT_EQ(Check(*check.GetClone(), ""), "exists");
}

TEST(UniqueNameCheckTest, CaseFoldingCoversAsciiLettersOnly)
{
    CUniqueNameCheck insensitive(false);
    EXPECT_EQ(CheckAll(insensitive, {"Report", "REPORT", "report", "\xC3\x89t\xC3\xA9", "\xC3\xA9t\xC3\xA9",
                                     "\xC3\x89T\xC3\xA9"}),
              (std::vector<std::string>{"new", "exists", "exists", "new", "new", "exists"}));
    EXPECT_EQ(Check(*insensitive.GetClone(), "rEpOrT"), "exists");

    CUniqueNameCheck sensitive(true);
    EXPECT_EQ(CheckAll(sensitive, {"Report", "REPORT", "report", "Report", "\xC3\x89t\xC3\xA9", "\xC3\xA9t\xC3\xA9"}),
              (std::vector<std::string>{"new", "new", "new", "exists", "new", "new"}));
}

TEST(UniqueNameCheckTest, ClonesOutliveTheOriginal)
{
    auto check = boost::make_shared<CUniqueNameCheck>(true);
    EXPECT_EQ(Check(*check, "kept"), "new");
    CUniqueNameCheckPtr clone = check->GetClone();
    check.reset();
    EXPECT_EQ(CheckAll(*clone, {"kept", "later"}), (std::vector<std::string>{"exists", "new"}));
    CUniqueNameCheckPtr grandchild = clone->GetClone();
    clone.reset();
    EXPECT_EQ(CheckAll(*grandchild, {"kept", "later", "last"}), (std::vector<std::string>{"exists", "exists", "new"}));
}

TEST(UniqueNameCheckTest, EachDestroyedCheckerLogsTheSharedCount)
{
    const std::string countLine = "1 CX::CUniqueNameCheckPrivate::~CUniqueNameCheckPrivate(): ";
    ScopedLogRecorder log(1);
    {
        auto check = boost::make_shared<CUniqueNameCheck>(true);
        CheckAll(*check, {"a", "b", "c"});
        CUniqueNameCheckPtr clone = check->GetClone();
        check.reset();
        EXPECT_EQ(log.Lines(), (std::vector<std::string>{countLine + "3 items in database"}));
        Check(*clone, "d");
    }
    EXPECT_EQ(log.Lines(),
              (std::vector<std::string>{countLine + "3 items in database", countLine + "4 items in database"}));

    // At level 0 nothing is written.
    log.SetLevel(0);
    {
        CUniqueNameCheck check(false);
        Check(check, "a");
    }
    EXPECT_EQ(log.Lines().size(), 2u);
}

TEST(UniqueNameCheckTest, FailedInsertCarriesOneEntryPerLevelAndLeavesTheStatementUsable)
{
    CUniqueNameCheck check(true);
    EXPECT_EQ(Check(check, "before"), "new");
    auto database = UniqueNameCheckTestAccess::Database(check);
    ASSERT_FALSE(database->Execute("ALTER TABLE Names RENAME TO Hidden;").IsError());

    bool exists = true;
    CKoError error = check.CheckName("x", exists);
    EXPECT_FALSE(exists);
    ASSERT_TRUE(error.IsError());
    EXPECT_TRUE(FXErrorUtil::IsSQLite(error, SQLITE_ERROR));
    ASSERT_EQ(error.Entries().size(), 3u);
    EXPECT_EQ(error.Entries()[0].file, "UniqueNameCheckPrivate");
    EXPECT_EQ(error.Entries()[0].function, kInsertName);
    EXPECT_EQ(error.Entries()[0].message, "SQLite Exception, no such table: Names");
    EXPECT_EQ(error.Entries()[1].function, kInsertName);
    EXPECT_EQ(error.Entries()[1].message, "Name=[x]");
    EXPECT_EQ(error.Entries()[2].file, "UniqueNameCheck");
    EXPECT_EQ(error.Entries()[2].function, kCheckName);
    EXPECT_EQ(error.Entries()[2].message, "");

    // Once the table is back the same statement works again, keeping the names.
    ASSERT_FALSE(database->Execute("ALTER TABLE Hidden RENAME TO Names;").IsError());
    EXPECT_EQ(CheckAll(check, {"x", "before", "x"}), (std::vector<std::string>{"new", "exists", "exists"}));
}

TEST(UniqueNameCheckTest, OnlyAPrimaryKeyConflictCountsAsPresent)
{
    CUniqueNameCheck check(true);
    auto database = UniqueNameCheckTestAccess::Database(check);
    // A conflict the upsert cannot absorb: one raised inside a trigger.
    ASSERT_FALSE(database
                     ->Execute("CREATE TABLE Other (Key VARCHAR PRIMARY KEY); INSERT INTO Other VALUES ('dup');"
                               "CREATE TRIGGER Clash AFTER INSERT ON Names WHEN new.Name='clash' "
                               "BEGIN INSERT INTO Other VALUES ('dup'); END;"
                               "CREATE TRIGGER Refuse AFTER INSERT ON Names WHEN new.Name='refuse' "
                               "BEGIN SELECT RAISE(ABORT, 'refused'); END;")
                     .IsError());
    EXPECT_EQ(Check(check, "clash"), "exists");
    bool exists = true;
    CKoError error = check.CheckName("refuse", exists);
    EXPECT_FALSE(exists);
    EXPECT_TRUE(FXErrorUtil::IsSQLite(error, SQLITE_CONSTRAINT_TRIGGER));
    EXPECT_EQ(error.Entries().front().message, "SQLite Exception, refused");
    EXPECT_EQ(CheckAll(check, {"plain", "plain"}), (std::vector<std::string>{"new", "exists"}));
}

void ExpectUnusable(CUniqueNameCheck& check)
{
    bool exists = true;
    CKoError error = check.CheckName("n", exists);
    EXPECT_FALSE(exists);
    ASSERT_TRUE(error.IsError());
    EXPECT_TRUE(FXErrorUtil::IsWin32(error, KO_ERROR_INVALID_HANDLE));
    ASSERT_EQ(error.Entries().size(), 3u);
    EXPECT_EQ(error.Entries()[0].function, kInsertName);
    EXPECT_EQ(error.Entries()[0].message, "Statement not prepared");
    EXPECT_EQ(error.Entries()[1].message, "Name=[n]");
    EXPECT_EQ(error.Entries()[2].function, kCheckName);
}

TEST(UniqueNameCheckTest, CloneWithoutStatementIsLoggedAndAnswersErrors)
{
    CUniqueNameCheck check(true);
    EXPECT_EQ(Check(check, "a"), "new");
    auto database = UniqueNameCheckTestAccess::Database(check);
    ASSERT_FALSE(database->Execute("ALTER TABLE Names RENAME TO Hidden;").IsError());
    CUniqueNameCheckPtr clone;
    std::vector<std::string> lines;
    {
        ScopedLogRecorder log(0);
        clone = check.GetClone();
        lines = log.Lines();
    }
    ASSERT_TRUE(clone);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("-1 CX::CUniqueNameCheckPtr CX::CUniqueNameCheck::GetClone(): error=SQLite error 1 ", 0), 0u)
        << lines[0];
    EXPECT_NE(lines[0].find("CKoError CX::CUniqueNameCheckPrivate::CreateStatements()"), std::string::npos);
    ExpectUnusable(*clone);
    ASSERT_FALSE(database->Execute("ALTER TABLE Hidden RENAME TO Names;").IsError());
    // The clone stays without a statement; its original is unaffected.
    ExpectUnusable(*clone);
    EXPECT_EQ(Check(check, "a"), "exists");
}

TEST(UniqueNameCheckTest, CheckerWhoseDatabaseDidNotOpenAnswersErrors)
{
    std::vector<std::string> lines;
    CUniqueNameCheckPtr check;
    {
        ScopedLogRecorder log(1);
        // Leave SQLite no memory to open a connection with.
        const sqlite3_int64 previous = sqlite3_hard_heap_limit64(-1);
        sqlite3_hard_heap_limit64(sqlite3_memory_used() + 1);
        check = boost::make_shared<CUniqueNameCheck>(false);
        sqlite3_hard_heap_limit64(previous);
        ExpectUnusable(*check);
        CUniqueNameCheckPtr clone = check->GetClone();
        ASSERT_TRUE(clone);
        ExpectUnusable(*clone);
        clone.reset();
        check.reset();
        lines = log.Lines();
    }
    ASSERT_EQ(lines.size(), 6u);
    const std::string database = "-1 CX::CUniqueNameCheckDatabase::CUniqueNameCheckDatabase(bool): ";
    EXPECT_EQ(lines[0].rfind(database + "OpenDatabase failed, error=SQLite error 7 ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("virtual CKoError CX::CUniqueNameCheckDatabase::OpenDatabase()"), std::string::npos);
    EXPECT_EQ(lines[1].rfind(database + "CreateTables failed, error=error 6 ", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2].rfind("-1 CX::CUniqueNameCheck::CUniqueNameCheck(bool): error=error 6 ", 0), 0u) << lines[2];
    EXPECT_EQ(lines[3].rfind("-1 CX::CUniqueNameCheckPtr CX::CUniqueNameCheck::GetClone(): error=error 6 ", 0), 0u)
        << lines[3];
    const std::string countLine = "1 CX::CUniqueNameCheckPrivate::~CUniqueNameCheckPrivate(): 0 items in database";
    EXPECT_EQ(lines[4], countLine);
    EXPECT_EQ(lines[5], countLine);
}

// Eight threads, each through its own clone, check draws from one pool with
// many overlaps; every distinct name must be answered "new" exactly once.
TEST(UniqueNameCheckTest, ManyThreadsAgreeOnEachNameBeingNewOnce)
{
    const int threadCount = 8;
    const int checksPerThread = 20000;
    const int poolSize = 50000;
    std::vector<std::string> pool;
    pool.reserve(poolSize);
    for (int i = 0; i < poolSize; ++i)
        pool.push_back("Folder " + std::to_string(i % 97) + "/Name-" + std::to_string(i));

    CUniqueNameCheck check(false);
    std::vector<std::atomic<int>> newAnswers(poolSize);
    std::vector<std::atomic<bool>> drawn(poolSize);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&, t] {
            CUniqueNameCheckPtr clone = check.GetClone();
            if (!clone) {
                ++failures;
                return;
            }
            std::mt19937 random(1234u + static_cast<unsigned>(t));
            std::uniform_int_distribution<int> pick(0, poolSize - 1);
            for (int i = 0; i < checksPerThread; ++i) {
                const int index = pick(random);
                drawn[index] = true;
                bool exists = true;
                if (clone->CheckName(pool[index], exists).IsError())
                    ++failures;
                else if (!exists)
                    ++newAnswers[index];
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();

    EXPECT_EQ(failures, 0);
    std::set<std::string> expected;
    int wrongAnswers = 0;
    for (int i = 0; i < poolSize; ++i) {
        if (drawn[i])
            expected.insert(pool[i]);
        wrongAnswers += newAnswers[i] != (drawn[i] ? 1 : 0);
    }
    EXPECT_EQ(wrongAnswers, 0);
    EXPECT_GT(expected.size(), 40000u);  // many names were drawn more than once
    std::set<std::string> stored;
    FX::CSQLite3QueryPtr query;
    ASSERT_FALSE(UniqueNameCheckTestAccess::Database(check)->Query("SELECT Name FROM Names;", query).IsError());
    for (; !query->Eof(); query->NextRow())
        stored.insert(query->GetStringField(0, ""));
    EXPECT_EQ(stored.size(), static_cast<size_t>(CountNames(check)));
    EXPECT_TRUE(stored == expected);
}

// One thread's insert fails on an injected write error while others go on:
// the error reaches that thread alone, carrying the code of its own failed
// step, every thread keeps checking, and the table holds exactly the names
// answered "new" (the failed name only if someone checked it again).
TEST(UniqueNameCheckTest, OneThreadsIoFaultStaysItsOwn)
{
    const int threadCount = 4;
    const int checksPerThread = 5000;
    const int poolSize = 10000;
    std::vector<std::string> pool;
    for (int i = 0; i < poolSize; ++i)
        pool.push_back("Folder " + std::to_string(i % 31) + "/Name-" + std::to_string(i));

    FaultVfs vfs;  // outlives the checker's connection
    CUniqueNameCheck check(true);
    // A tiny page cache, so that inserts keep reaching the file.
    ASSERT_FALSE(UniqueNameCheckTestAccess::Database(check)->Execute("PRAGMA cache_size=8;").IsError());

    struct Outcome {
        int errors = 0;
        int answersAfterError = 0;
        int failedIndex = -1;
        CKoError firstError;
    };
    std::vector<Outcome> outcomes(threadCount);
    std::vector<std::atomic<int>> newAnswers(poolSize);
    std::vector<std::atomic<bool>> drawn(poolSize);
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&, t] {
            CUniqueNameCheckPtr clone = check.GetClone();
            while (!go)
                std::this_thread::yield();
            Outcome& outcome = outcomes[t];
            if (!clone) {
                ++outcome.errors;
                return;
            }
            std::mt19937 random(77u + static_cast<unsigned>(t));
            std::uniform_int_distribution<int> pick(0, poolSize - 1);
            for (int i = 0; i < checksPerThread; ++i) {
                const int index = pick(random);
                drawn[index] = true;
                bool exists = false;
                CKoError error = clone->CheckName(pool[index], exists);
                if (error.IsError()) {
                    if (outcome.errors++ == 0) {
                        outcome.firstError = error;
                        outcome.failedIndex = index;
                    }
                } else {
                    outcome.answersAfterError += outcome.errors > 0;
                    if (!exists)
                        ++newAnswers[index];
                }
            }
        });
    }
    // Thread 1 meets the fault at its tenth write to the names file.
    vfs.OnlyThread(threads[1].get_id());
    vfs.Arm(FaultVfs::Write, 10, 0, false);
    go = true;
    for (std::thread& thread : threads)
        thread.join();
    vfs.Disarm();

    ASSERT_EQ(vfs.Injected(), 1);
    for (int t = 0; t < threadCount; ++t)
        EXPECT_EQ(outcomes[t].errors, t == 1 ? 1 : 0) << "thread " << t;
    const CKoError& error = outcomes[1].firstError;
    EXPECT_TRUE(FXErrorUtil::IsSQLite(error, SQLITE_IOERR_WRITE)) << error.AsString();
    ASSERT_EQ(error.Entries().size(), 3u);
    EXPECT_EQ(error.Entries()[1].message, "Name=[" + pool[outcomes[1].failedIndex] + "]");
    EXPECT_GT(outcomes[1].answersAfterError, 0);

    auto database = UniqueNameCheckTestAccess::Database(check);
    FX::CSQLite3QueryPtr query;
    ASSERT_FALSE(database->Query("PRAGMA integrity_check;", query).IsError());
    EXPECT_EQ(query->GetStringField(0, ""), "ok");
    std::set<std::string> answeredNew;
    int repeatedNew = 0;
    for (int i = 0; i < poolSize; ++i) {
        repeatedNew += newAnswers[i] > 1;
        if (newAnswers[i] == 1)
            answeredNew.insert(pool[i]);
        else if (drawn[i] && i != outcomes[1].failedIndex)
            ADD_FAILURE() << "drawn but never new: " << pool[i];
    }
    EXPECT_EQ(repeatedNew, 0);
    std::set<std::string> stored;
    ASSERT_FALSE(database->Query("SELECT Name FROM Names;", query).IsError());
    for (; !query->Eof(); query->NextRow())
        stored.insert(query->GetStringField(0, ""));
    query.reset();
    EXPECT_TRUE(stored == answeredNew);
}

}  // namespace
