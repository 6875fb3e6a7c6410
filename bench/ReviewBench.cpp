// Reviews of one container: the missing-ancestor walk and the collect walk,
// timed with a counting callback, beside a plain SQLite read of the same rows.
//
// The container holds --files N files in --folders M folders laid out as a
// tree of fan-out 10 below /bench/ (five levels for 50,000 folders), with
// every 20th folder that has sub-folders left out (5% of them), and one file
// in a hundred marked for collection. It is built in a child process so that
// the peak memory printed is that of the reviews alone.
#include "BenchSupport.h"

#include "ContentContainerDatabase.h"
#include "PathCollation.h"
#include "ReviewContentContainer.h"

#include <boost/make_shared.hpp>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr long kFanOut = 10;
constexpr long kRemoveEvery = 20;  // of the folders that have sub-folders
constexpr long kMarkEvery = 100;   // of the files

class CountingCallback : public CX::CReviewContentContainerAncestorCallback {
public:
    CKoError OnAncestorMissing(const string&, int64_t folderId, const string&) override
    {
        ++(folderId == -1 ? missing : unmarked);
        return CKoError::Success();
    }
    bool IsAborted() override
    {
        ++abortChecks;
        return false;
    }
    long missing = 0;
    long unmarked = 0;
    long abortChecks = 0;
};

struct Layout {
    std::vector<std::string> paths;  // by node number; node 0 is /bench/
    std::vector<bool> removed;
    long removedCount = 0;
};

Layout MakeLayout(long folders)
{
    Layout layout;
    layout.paths.resize(folders);
    layout.removed.assign(folders, false);
    long intermediate = 0;
    for (long i = 0; i < folders; ++i) {
        layout.paths[i] = i == 0 ? "/bench/" : layout.paths[(i - 1) / kFanOut] + "d" + std::to_string(i) + "/";
        const bool hasChildren = i * kFanOut + 1 < folders;
        if (hasChildren && intermediate++ % kRemoveEvery == kRemoveEvery - 1) {
            layout.removed[i] = true;
            ++layout.removedCount;
        }
    }
    return layout;
}

bool Check(const CKoError& error, const char* what)
{
    if (error.IsError())
        std::fprintf(stderr, "%s failed: %s\n", what, error.AsString().c_str());
    return !error.IsError();
}

int Build(const std::string& file, const Layout& layout, long files)
{
    CX::CContentContainerDatabase db(file, false);
    if (!Check(db.GetConstructionError(), "open"))
        return 1;
    const CTimeStamp time = CTimeStamp::FromSystemTime(116444736000000000LL);
    std::vector<int64_t> present;
    {
        FX::CDatabaseTransaction transaction(&db, 1);
        int64_t id = -1;
        if (!Check(db.InsertFolder("/", "", time, id), "InsertFolder"))
            return 1;
        for (size_t i = 0; i < layout.paths.size(); ++i) {
            if (layout.removed[i])
                continue;
            if (!Check(db.InsertFolder(layout.paths[i], "Kind=\"folder\"", time, id), "InsertFolder"))
                return 1;
            present.push_back(id);
        }
        if (!Check(transaction.Commit(), "Commit"))
            return 1;
    }
    for (long j = 0; j < files; ++j) {
        const std::string metadata = j % kMarkEvery == 0 ? "Size=\"4096\" Collect=\"true\"" : "Size=\"4096\"";
        if (!Check(db.QueueInsertOrUpdateFile(present[j % present.size()], "file" + std::to_string(j) + ".dat",
                                              metadata, time),
                   "QueueInsertOrUpdateFile"))
            return 1;
    }
    return Check(db.FlushQueue(), "FlushQueue") ? 0 : 1;
}

// Steps a query with plain SQLite and reads its first column as text.
long RawRows(const std::string& file, const char* sql)
{
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
        return -1;
    sqlite3_create_collation(db, "PATH_COMPONENTS", SQLITE_UTF8, nullptr, &CX::sqlite_collation_bypath);
    sqlite3_stmt* statement = nullptr;
    long rows = -1;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK) {
        rows = 0;
        std::string text;
        while (sqlite3_step(statement) == SQLITE_ROW) {
            const auto* value = sqlite3_column_text(statement, 0);
            text.assign(value ? reinterpret_cast<const char*>(value) : "");
            ++rows;
        }
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return rows;
}

}  // namespace

int main(int argc, char** argv)
{
    const bool smoke = bench::Flag(argc, argv, "--smoke");
    const long files = bench::LongArgument(argc, argv, "--files", smoke ? 2000 : 100000);
    const long folders = bench::LongArgument(argc, argv, "--folders", smoke ? 200 : 5000);
    if (files < 0 || folders < 1) {
        std::fprintf(stderr, "usage: ReviewBench [--smoke] [--files N] [--folders M]\n");
        return 2;
    }

    bench::ScratchDir scratch;
    const std::string file = scratch.File("review.cx");
    long removedCount = 0;
    {
        const Layout layout = MakeLayout(folders);
        removedCount = layout.removedCount;
        bench::Stopwatch buildTime;
        const pid_t child = fork();
        if (child < 0) {
            std::perror("fork");
            return 2;
        }
        if (child == 0)
            _exit(Build(file, layout, files));
        int status = 0;
        if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "building the container failed\n");
            return 1;
        }
        std::printf("container: %ld files, %ld folders of which %ld left out, plus /; built in %.2f s\n", files,
                    folders, removedCount, buildTime.Seconds());
    }
    const long folderRows = folders - removedCount + 1;

    CX::CReviewContentContainer review(file);
    auto counter = boost::make_shared<CountingCallback>();
    bench::Stopwatch ancestorsTime;
    if (!Check(review.CheckAncestors(counter), "CheckAncestors"))
        return 1;
    const double ancestorsSeconds = ancestorsTime.Seconds();
    if (counter->missing != removedCount) {
        std::fprintf(stderr, "CheckAncestors reported %ld paths, expected %ld\n", counter->missing, removedCount);
        return 1;
    }
    std::printf("CheckAncestors:        %8ld rows in %.3f s = %10.0f rows/s, %ld reports, %ld abort checks\n",
                folderRows, ancestorsSeconds, folderRows / ancestorsSeconds, counter->missing, counter->abortChecks);

    auto collector = boost::make_shared<CountingCallback>();
    bench::Stopwatch collectTime;
    if (!Check(review.CheckCollectAncestors(collector), "CheckCollectAncestors"))
        return 1;
    const double collectSeconds = collectTime.Seconds();
    std::printf("CheckCollectAncestors: %8ld files in %.3f s = %10.0f files/s, %ld missing + %ld unmarked reports\n",
                files, collectSeconds, files / collectSeconds, collector->missing, collector->unmarked);
    std::printf("peak RSS of the reviews: %.1f MiB\n", bench::PeakRssMiB());

    // The same rows read with plain SQLite, for scale.
    bench::Stopwatch rawFoldersTime;
    const long rawFolders = RawRows(file, "SELECT FolderName FROM Folders ORDER BY FolderName;");
    const double rawFoldersSeconds = rawFoldersTime.Seconds();
    bench::Stopwatch rawCollectTime;
    const long rawCollect =
        RawRows(file, "SELECT DISTINCT FolderName, FolderId, FolderMetadata FROM FullyQualifiedFiles "
                      "WHERE FileMetadata LIKE '%Collect=\"true\"%' ORDER BY FolderName;");
    const double rawCollectSeconds = rawCollectTime.Seconds();
    if (rawFolders != folderRows) {
        std::fprintf(stderr, "raw folder rows %ld, expected %ld\n", rawFolders, folderRows);
        return 1;
    }
    std::printf("raw SQLite folders:    %8ld rows in %.3f s = %10.0f rows/s\n", rawFolders, rawFoldersSeconds,
                rawFolders / rawFoldersSeconds);
    std::printf("raw SQLite collect:    %8ld files in %.3f s = %10.0f files/s (%ld rows)\n", files,
                rawCollectSeconds, files / rawCollectSeconds, rawCollect);
    return 0;
}
