// A writer killed at a random moment: a child process indexes into a
// container through the file queue and reports each flushed batch of 1,000
// files through a pipe, until the parent kills it with SIGKILL. The parent
// then opens the container: it must pass the integrity check, hold whole
// batches only, and hold every batch the child reported. Some rounds start
// from no file at all, so that kills also land while the container is being
// created. CX_CRASH_ITERATIONS sets the number of rounds (./scripts/stress
// runs many more).
#include "ContainerFiles.h"
#include "ContainerTestAccess.h"
#include "ContentContainerDatabase.h"
#include "TestSupport.h"

#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <thread>

namespace {

constexpr int kBatch = 1000;

int Iterations()
{
    const char* text = std::getenv("CX_CRASH_ITERATIONS");
    const int count = text ? std::atoi(text) : 20;
    return count > 0 ? count : 20;
}

// The child: writes batches "<round>-<batch>-<i>" into folder "/r<round>/"
// until it is killed, reporting each batch once its flush succeeded.
[[noreturn]] void Writer(const std::string& file, int round, int reportFd)
{
    CX::CContentContainer container;
    if (container.SetName(file).IsError() || container.OpenExistingOrCreate().IsError())
        _exit(2);
    CX::CContentContainerDatabasePtr database = CX::CContentContainerTestAccess::Database(container);
    int64_t folderId = -1;
    if (container.InsertFolder("/r" + std::to_string(round) + "/", "", CTimeStamp::FromSystemTime(1), folderId)
            .IsError())
        _exit(3);
    for (int32_t batch = 0; batch < 100000; ++batch) {
        const std::string prefix = std::to_string(round) + "-" + std::to_string(batch) + "-";
        for (int i = 0; i < kBatch; ++i) {
            if (database->QueueInsertOrUpdateFile(folderId, prefix + std::to_string(i), "metadata",
                                                  CTimeStamp::FromSystemTime(i))
                    .IsError())
                _exit(4);
        }
        if (database->GetQueuedFileCount() != 0)
            _exit(5);  // the 1,000th entry must have flushed the batch
        if (write(reportFd, &batch, sizeof batch) != sizeof batch)
            _exit(6);
    }
    _exit(0);
}

// The names of the tables in the file, as the next opener finds them,
// joined by ","; "" when there is none or no file.
std::string TableNames(const std::string& file)
{
    sqlite3* db = nullptr;
    std::string names;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT name FROM sqlite_master WHERE type='table' ORDER BY name;", -1, &statement,
                               nullptr) == SQLITE_OK) {
            while (sqlite3_step(statement) == SQLITE_ROW)
                names += (names.empty() ? "" : ",") + std::string(reinterpret_cast<const char*>(
                                                              sqlite3_column_text(statement, 0)));
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return names;
}

TEST(CrashRecoveryTest, KilledWriterLeavesWholeBatchesAndEveryReportedOne)
{
    TempDir dir(MemoryTempBase());
    const std::string file = dir.File("c.cx");
    std::mt19937 random(std::random_device{}());
    const int iterations = Iterations();
    int64_t reported = 0;
    int64_t unreported = 0;
    int createdAfresh = 0;
    int halfCreated = 0;  // killed between the storage table and the rest
    int notCreated = 0;   // killed before the file had a table
    for (int round = 0; round < iterations; ++round) {
        if (round % 4 == 0) {
            RemoveContainerFiles(file);
            ++createdAfresh;
        }
        int channel[2];
        ASSERT_EQ(pipe(channel), 0);
        std::fflush(nullptr);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(channel[0]);
            Writer(file, round, channel[1]);
        }
        close(channel[1]);
        // A child takes some 5 to 25 ms to open (or create) the file; a round
        // that creates it is cut within 40 ms, so that the kill often lands in
        // the creation, the others anywhere in the first 80 ms of writing.
        const int delay = round % 4 == 0 ? static_cast<int>(random() % 40000) : static_cast<int>(random() % 80000);
        std::this_thread::sleep_for(std::chrono::microseconds(delay));
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "round " << round << ": the writer stopped by itself, status " << status;

        std::set<int32_t> flushed;
        for (int32_t batch; read(channel[0], &batch, sizeof batch) == sizeof batch;)
            flushed.insert(batch);
        close(channel[0]);
        reported += static_cast<int64_t>(flushed.size());

        if (round % 4 == 0) {
            const std::string tables = TableNames(file);
            halfCreated += tables == "Storage";
            notCreated += tables.empty();
        }
        ASSERT_EQ(IntegrityCheck(file), "ok") << "round " << round << " after " << delay << " us";
        std::map<int32_t, int> rows;  // this round's batches and their row counts
        for (const std::string& path : StoredFilePaths(file)) {
            const std::string folder = "/r" + std::to_string(round) + "/";
            if (path.compare(0, folder.size(), folder) == 0)
                ++rows[std::atoi(path.c_str() + folder.size() + std::to_string(round).size() + 1)];
        }
        for (const auto& [batch, count] : rows) {
            EXPECT_EQ(count, kBatch) << "round " << round << ", batch " << batch << " is not whole";
            if (flushed.count(batch) == 0)
                ++unreported;  // written, but killed before it could say so
        }
        for (int32_t batch : flushed)
            EXPECT_EQ(rows.count(batch), 1u) << "round " << round << ": reported batch " << batch << " is lost";
        if (HasFailure())
            break;
    }
    std::cout << "[ crashes  ] " << iterations << " writers killed (" << createdAfresh << " creating the file: "
              << notCreated << " before its first table, " << halfCreated << " between its first and second), "
              << reported << " reported batches all present, " << unreported << " more found whole\n";
}

}  // namespace
