// Comparison throughput: two containers of N files in M folders that differ in
// about 1% of files removed, 1% added and 1% with changed metadata, compared by
// the library with a counting callback and by a raw sqlite3 merge walk over the
// same two files (same queries, folders merged in the folder collation, files
// in byte order of their names).
//
//   CompareBench [--files N] [--folders M] [--smoke]
//
// The containers are written by a child process, so that the peak resident
// memory reported is the walks' own.
#include "BenchSupport.h"
#include "CompareContentContainers.h"
#include "ContentContainerDatabase.h"
#include "LogWriter.h"
#include "PathCollation.h"

#include <boost/make_shared.hpp>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace {

using bench::Check;

// Seconds of CPU this process has used: steadier than the wall clock on a
// machine that other work shares.
double CpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Wall and CPU time of one walk.
struct Timing {
    double wall = 1e300;
    double cpu = 1e300;
    void KeepBest(const Timing& other)
    {
        wall = std::min(wall, other.wall);
        cpu = std::min(cpu, other.cpu);
    }
};

// Events by kind: folders only in 1, only in 2, in both; files likewise.
struct Counts {
    long long folders1 = 0, folders2 = 0, foldersBoth = 0, files1 = 0, files2 = 0, filesBoth = 0;
    long long metadataBytes = 0;  // keeps the metadata reads honest on both sides
    long long Events() const { return folders1 + folders2 + foldersBoth + files1 + files2 + filesBoth; }
    bool operator==(const Counts& o) const
    {
        return folders1 == o.folders1 && folders2 == o.folders2 && foldersBoth == o.foldersBoth &&
               files1 == o.files1 && files2 == o.files2 && filesBoth == o.filesBoth &&
               metadataBytes == o.metadataBytes;
    }
};

// File k of the whole tree: k % 100 == 0 only in the previous container,
// 1 only in the current one, 2 with other metadata in the current one.
void WriteContainer(const std::string& file, long files, long folders, bool current)
{
    {
        // The library lays out the schema; the rows go in raw for speed.
        CX::CContentContainerDatabase schema(file);
        if (schema.GetConstructionError().IsError()) {
            std::fprintf(stderr, "create: %s\n", schema.GetConstructionError().AsString().c_str());
            std::exit(2);
        }
    }
    sqlite3* db = nullptr;
    Check(sqlite3_open(file.c_str(), &db), db, "open");
    sqlite3_create_collation(db, "PATH_COMPONENTS", SQLITE_UTF8, nullptr, &CX::sqlite_collation_bypath);
    Check(sqlite3_exec(db, "PRAGMA synchronous=off; BEGIN;", nullptr, nullptr, nullptr), db, "begin");
    sqlite3_stmt* folder = nullptr;
    sqlite3_stmt* fileRow = nullptr;
    Check(sqlite3_prepare_v2(db,
                             "INSERT INTO Folders (FolderId, FolderName, Metadata, RecordCreateTime, RecordUpdateTime) "
                             "VALUES (?1, ?2, 'Type=\"folder\"', 1, 1);",
                             -1, &folder, nullptr),
          db, "prepare");
    Check(sqlite3_prepare_v2(db,
                             "INSERT INTO Files (FolderId, FileName, Metadata, RecordCreateTime, RecordUpdateTime) "
                             "VALUES (?1, ?2, ?3, 1, 1);",
                             -1, &fileRow, nullptr),
          db, "prepare");
    char name[32];
    char metadata[128];
    for (long f = 0; f < folders; ++f) {
        const std::string folderName = bench::BenchFolderName(f);
        sqlite3_bind_int64(folder, 1, f + 1);
        sqlite3_bind_text(folder, 2, folderName.c_str(), static_cast<int>(folderName.size()), SQLITE_STATIC);
        Check(sqlite3_step(folder), db, "insert folder");
        sqlite3_reset(folder);
        for (long k = f * files / folders; k < (f + 1) * files / folders; ++k) {
            if ((k % 100 == 0 && current) || (k % 100 == 1 && !current))
                continue;
            std::snprintf(name, sizeof name, "IMG_%08ld.jpg", k);
            const long day = current && k % 100 == 2 ? 8 : 7;
            const int length =
                std::snprintf(metadata, sizeof metadata,
                              "Type=\"file\" Size=\"%ld\" MTime=\"2026-12-%02ldT10:00:00Z\" Mode=\"0644\"",
                              k * 37 % 1000003, day);
            sqlite3_bind_int64(fileRow, 1, f + 1);
            sqlite3_bind_text(fileRow, 2, name, -1, SQLITE_STATIC);
            sqlite3_bind_text(fileRow, 3, metadata, length, SQLITE_STATIC);
            Check(sqlite3_step(fileRow), db, "insert file");
            sqlite3_reset(fileRow);
        }
    }
    sqlite3_finalize(folder);
    sqlite3_finalize(fileRow);
    Check(sqlite3_exec(db, "COMMIT; PRAGMA wal_checkpoint(TRUNCATE);", nullptr, nullptr, nullptr), db, "commit");
    sqlite3_close(db);
}

// ---------------------------------------------------------------- library

class CountingCallback : public CX::CCompareContentContainersCallback {
public:
    Counts counts;
    CKoError OnFolderInIndex1(const string&, const string& metadata) override
    {
        ++counts.folders1;
        counts.metadataBytes += static_cast<long long>(metadata.size());
        return CKoError::Success();
    }
    CKoError OnFileInIndex1(const string&, const string&, const string&, const string& metadata) override
    {
        ++counts.files1;
        counts.metadataBytes += static_cast<long long>(metadata.size());
        return CKoError::Success();
    }
    CKoError OnFolderInIndex2(const string&, const string& metadata) override
    {
        ++counts.folders2;
        counts.metadataBytes += static_cast<long long>(metadata.size());
        return CKoError::Success();
    }
    CKoError OnFileInIndex2(const string&, const string&, const string&, const string& metadata) override
    {
        ++counts.files2;
        counts.metadataBytes += static_cast<long long>(metadata.size());
        return CKoError::Success();
    }
    CKoError OnFolderInBothIndexes(const string&, const string& metadata1, const string& metadata2) override
    {
        ++counts.foldersBoth;
        counts.metadataBytes += static_cast<long long>(metadata1.size() + metadata2.size());
        return CKoError::Success();
    }
    CKoError OnFileInBothIndexes(const string&, const string&, const string&, const string& metadata1,
                                 const string& metadata2) override
    {
        ++counts.filesBoth;
        counts.metadataBytes += static_cast<long long>(metadata1.size() + metadata2.size());
        return CKoError::Success();
    }
};

Timing LibraryCompare(const std::string& previous, const std::string& current, Counts& counts)
{
    const double cpu = CpuSeconds();
    bench::Stopwatch clock;
    auto callback = boost::make_shared<CountingCallback>();
    CX::CCompareContentContainers compare(current, previous, callback);
    const CKoError error = compare.CompareDatabases();
    const Timing timing{clock.Seconds(), CpuSeconds() - cpu};
    std::printf("\r%60s\r", "");  // wipes the progress marks
    if (error.IsError()) {
        std::fprintf(stderr, "CompareDatabases: %s\n", error.AsString().c_str());
        std::exit(2);
    }
    counts = callback->counts;
    return timing;
}

// ---------------------------------------------------------------- raw sqlite3

struct RawSide {
    sqlite3* db = nullptr;
    sqlite3_stmt* folders = nullptr;
    sqlite3_stmt* files = nullptr;

    RawSide(const std::string& file, int flags)
    {
        Check(sqlite3_open_v2(file.c_str(), &db, flags, nullptr), db, "open");
        sqlite3_create_collation(db, "PATH_COMPONENTS", SQLITE_UTF8, nullptr, &CX::sqlite_collation_bypath);
        Check(sqlite3_prepare_v2(db, "SELECT * FROM Folders ORDER BY Folders.FolderName;", -1, &folders, nullptr), db,
              "prepare");
        Check(sqlite3_prepare_v2(db, "SELECT * FROM Files WHERE Files.FolderId=?;", -1, &files, nullptr), db,
              "prepare");
    }
    ~RawSide()
    {
        sqlite3_finalize(folders);
        sqlite3_finalize(files);
        sqlite3_close(db);
    }
};

bool Step(sqlite3_stmt* statement)
{
    const int rc = sqlite3_step(statement);
    Check(rc, sqlite3_db_handle(statement), "step");
    return rc == SQLITE_ROW;
}

int ByteOrder(sqlite3_stmt* a, sqlite3_stmt* b, int column)
{
    const int la = sqlite3_column_bytes(a, column);
    const int lb = sqlite3_column_bytes(b, column);
    const int r = std::memcmp(sqlite3_column_text(a, column), sqlite3_column_text(b, column),
                              static_cast<size_t>(std::min(la, lb)));
    return r != 0 ? r : la - lb;
}

// Files columns: FileId, FolderId, FileName, Metadata, ...; Folders columns:
// FolderId, FolderName, Metadata, ...
void RawFiles(RawSide& one, long long id1, RawSide& two, long long id2, Counts& counts)
{
    sqlite3_bind_int64(one.files, 1, id1);
    sqlite3_bind_int64(two.files, 1, id2);
    bool row1 = Step(one.files);
    bool row2 = Step(two.files);
    while (row1 || row2) {
        const int order = row1 && row2 ? ByteOrder(one.files, two.files, 2) : 0;
        if ((order < 0 && row1) || !row2) {
            ++counts.files1;
            counts.metadataBytes += sqlite3_column_bytes(one.files, 3);
            row1 = Step(one.files);
        } else if ((order > 0 && row2) || !row1) {
            ++counts.files2;
            counts.metadataBytes += sqlite3_column_bytes(two.files, 3);
            row2 = Step(two.files);
        } else {
            ++counts.filesBoth;
            counts.metadataBytes += sqlite3_column_bytes(one.files, 3) + sqlite3_column_bytes(two.files, 3);
            row1 = Step(one.files);
            row2 = Step(two.files);
        }
    }
    sqlite3_reset(one.files);
    sqlite3_reset(two.files);
}

void RawCompareWalk(const std::string& previous, const std::string& current, Counts& counts)
{
    RawSide one(previous, SQLITE_OPEN_READONLY);
    RawSide two(current, SQLITE_OPEN_READWRITE);
    bool row1 = Step(one.folders);
    bool row2 = Step(two.folders);
    while (row1 || row2) {
        int order = 0;
        if (row1 && row2)
            order = CX::sqlite_collation_bypath(nullptr, sqlite3_column_bytes(one.folders, 1),
                                                sqlite3_column_text(one.folders, 1),
                                                sqlite3_column_bytes(two.folders, 1),
                                                sqlite3_column_text(two.folders, 1));
        if ((order < 0 && row1) || !row2) {
            ++counts.folders1;
            counts.metadataBytes += sqlite3_column_bytes(one.folders, 2);
            RawFiles(one, sqlite3_column_int64(one.folders, 0), two, -1, counts);
            row1 = Step(one.folders);
        } else if ((order > 0 && row2) || !row1) {
            ++counts.folders2;
            counts.metadataBytes += sqlite3_column_bytes(two.folders, 2);
            RawFiles(one, -1, two, sqlite3_column_int64(two.folders, 0), counts);
            row2 = Step(two.folders);
        } else {
            ++counts.foldersBoth;
            counts.metadataBytes += sqlite3_column_bytes(one.folders, 2) + sqlite3_column_bytes(two.folders, 2);
            RawFiles(one, sqlite3_column_int64(one.folders, 0), two, sqlite3_column_int64(two.folders, 0), counts);
            row1 = Step(one.folders);
            row2 = Step(two.folders);
        }
    }
}

Timing RawCompare(const std::string& previous, const std::string& current, Counts& counts)
{
    const double cpu = CpuSeconds();
    bench::Stopwatch clock;
    RawCompareWalk(previous, current, counts);
    return Timing{clock.Seconds(), CpuSeconds() - cpu};
}

}  // namespace

int main(int argc, char** argv)
{
    const bool smoke = bench::Flag(argc, argv, "--smoke");
    const long files = bench::LongArgument(argc, argv, "--files", smoke ? 2000 : 1000000);
    const long folders = bench::LongArgument(argc, argv, "--folders", smoke ? 100 : 50000);
    if (folders < 1 || files < folders) {
        std::fprintf(stderr, "need --files >= --folders > 0\n");
        return 2;
    }
    if (g_ptrLogWriter)
        g_ptrLogWriter->SetTraceLevel(-1);

    bench::ScratchDir scratch;
    const std::string previous = scratch.File("previous.cx");
    const std::string current = scratch.File("current.cx");
    bench::Stopwatch buildClock;
    const pid_t child = fork();
    if (child < 0) {
        std::perror("fork");
        return 2;
    }
    if (child == 0) {
        WriteContainer(previous, files, folders, false);
        WriteContainer(current, files, folders, true);
        _exit(0);
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "writing the containers failed\n");
        return 2;
    }
    std::printf("compare: %ld files in %ld folders, about 1%% removed, 1%% added, 1%% changed (written in %.1f s)\n",
                files, folders, buildClock.Seconds());

    // Alternate the two walks and keep the best of each, so that neither pays
    // alone for a cold page cache.
    const int rounds = smoke ? 1 : 3;
    Timing library;
    Timing raw;
    double peakAfterLibrary = 0;
    Counts libraryCounts;
    Counts rawCounts;
    for (int round = 0; round < rounds; ++round) {
        libraryCounts = Counts();
        library.KeepBest(LibraryCompare(previous, current, libraryCounts));
        if (round == 0)
            peakAfterLibrary = bench::PeakRssMiB();
        rawCounts = Counts();
        raw.KeepBest(RawCompare(previous, current, rawCounts));
    }
    if (!(libraryCounts == rawCounts)) {
        std::fprintf(stderr, "walks disagree: %lld events vs %lld\n", libraryCounts.Events(), rawCounts.Events());
        return 1;
    }
    const double events = static_cast<double>(libraryCounts.Events());
    std::printf("  events: folders %lld/%lld/%lld, files only-previous %lld, only-current %lld, both %lld\n",
                libraryCounts.folders1, libraryCounts.folders2, libraryCounts.foldersBoth, libraryCounts.files1,
                libraryCounts.files2, libraryCounts.filesBoth);
    std::printf("  compare library %10.0f events/s (%.2f s)   raw %10.0f events/s (%.2f s)   ratio %.2f   "
                "(best of %d, wall clock)\n",
                events / library.wall, library.wall, events / raw.wall, raw.wall, raw.wall / library.wall, rounds);
    std::printf("  compare library %10.0f events/s (%.2f s)   raw %10.0f events/s (%.2f s)   ratio %.2f   "
                "(best of %d, CPU time)\n",
                events / library.cpu, library.cpu, events / raw.cpu, raw.cpu, raw.cpu / library.cpu, rounds);
    std::printf("  peak RSS after library compare %.1f MiB, after both %.1f MiB\n", peakAfterLibrary,
                bench::PeakRssMiB());
    return 0;
}
