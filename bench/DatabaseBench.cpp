// Index database throughput, the library beside raw sqlite3 on the same
// workload: writing files through the queue, folder lookups, and walking the
// whole index folder by folder.
//
//   DatabaseBench [--files N] [--folders M] [--smoke]
#include "BenchSupport.h"
#include "ContentContainerDatabase.h"
#include "LogWriter.h"
#include "PathCollation.h"

#include <sqlite3.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using bench::Die;
using bench::Check;

std::string FolderName(long i) { return "/bench/d" + std::to_string(i % 97) + "/folder" + std::to_string(i) + "/"; }
std::string FileName(long i) { return "file" + std::to_string(i) + ".dat"; }
std::string Metadata(long i)
{
    return "Type=\"file\" Size=\"" + std::to_string(i * 37 % 100000) +
           "\" MTime=\"2026-12-07T23:49:58.123456789Z\" Mode=\"0644\" Uid=\"0\" Gid=\"0\"";
}

void Exec(sqlite3* db, const char* sql) { Check(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), db, sql); }

// ---------------------------------------------------------------- library

double LibraryWrite(const std::string& file, long files, long folders)
{
    bench::Stopwatch clock;
    CX::CContentContainerDatabase db(file);
    Die(db.GetConstructionError(), "open");
    const CTimeStamp now = CTimeStamp::Now();
    Die(db.OpenFolderQueue(), "OpenFolderQueue");
    {
        // One transaction for the whole queue, as a host filling it would use.
        FX::CDatabaseTransactionPtr transaction;
        Die(db.GetTransaction(transaction), "GetTransaction");
        int64_t ignored = -1;
        for (long f = 0; f < folders; ++f)
            Die(db.AddFolderToQueue(FolderName(f), "Type=\"folder\"", now, ignored), "AddFolderToQueue");
        Die(transaction->Commit(), "Commit");
    }
    Die(db.MergeFolderQueue(), "MergeFolderQueue");
    const long perFolder = files / folders;
    for (long f = 0; f < folders; ++f) {
        int64_t folderId = -1;
        Die(db.QueryFolderId(FolderName(f), folderId), "QueryFolderId");
        for (long i = f * perFolder; i < (f + 1) * perFolder; ++i)
            Die(db.QueueInsertOrUpdateFile(folderId, FileName(i), Metadata(i), now), "QueueInsertOrUpdateFile");
    }
    Die(db.FlushQueue(), "FlushQueue");
    return clock.Seconds();
}

void LibraryLookups(const std::string& file, long folders, double& hitsPerSecond, double& missesPerSecond)
{
    CX::CContentContainerDatabase db(file, true);
    Die(db.GetConstructionError(), "open");
    int64_t id = -1;
    const long hot = folders < 1000 ? folders : 1000;
    for (long f = 0; f < hot; ++f)
        Die(db.QueryFolderId(FolderName(f), id), "warm");
    const long rounds = 200;
    bench::Stopwatch hits;
    for (long r = 0; r < rounds; ++r)
        for (long f = 0; f < hot; ++f)
            Die(db.QueryFolderId(FolderName(f), id), "hit");
    hitsPerSecond = static_cast<double>(rounds * hot) / hits.Seconds();
    // Folders beyond the cache's 2000 entries, each asked once: every one a miss.
    bench::Stopwatch misses;
    long count = 0;
    for (long f = hot; f < folders; f += 3, ++count)
        Die(db.QueryFolderId(FolderName(f), id), "miss");
    missesPerSecond = count ? static_cast<double>(count) / misses.Seconds() : 0;
}

long LibraryWalk(const std::string& file, double& seconds)
{
    bench::Stopwatch clock;
    CX::CContentContainerDatabase db(file, true);
    Die(db.GetConstructionError(), "open");
    FX::CSQLite3QueryPtr folders;
    Die(db.QueryFolders(folders), "QueryFolders");
    long rows = 0;
    const int idColumn = folders->FieldIndex("FolderId");
    for (; !folders->Eof(); folders->NextRow()) {
        FX::CSQLite3QueryPtr files;
        Die(db.QueryFiles(folders->GetInt64Field(idColumn, -1), files), "QueryFiles");
        const int nameColumn = files->FieldIndex("FileName");
        for (; !files->Eof(); files->NextRow()) {
            rows += static_cast<long>(files->GetStringField(nameColumn, "").size() > 0);
        }
        ++rows;
    }
    seconds = clock.Seconds();
    return rows;
}

// ---------------------------------------------------------------- raw sqlite3

sqlite3* RawOpen(const std::string& file, int flags)
{
    sqlite3* db = nullptr;
    Check(sqlite3_open_v2(file.c_str(), &db, flags, nullptr), db, "open");
    sqlite3_create_collation(db, "PATH_COMPONENTS", SQLITE_UTF8, nullptr, &CX::sqlite_collation_bypath);
    return db;
}

sqlite3_stmt* Prepare(sqlite3* db, const char* sql)
{
    sqlite3_stmt* statement = nullptr;
    Check(sqlite3_prepare_v2(db, sql, -1, &statement, nullptr), db, sql);
    return statement;
}

// How the rows are written: the file queue's way (the log, a commit every
// 1,000 rows), or cx index's (the journal in memory, a commit every 20,000
// rows, a connection only one thread uses).
struct RawSettings {
    const char* journal;
    long rowsPerCommit;
    int openFlags;
};
const RawSettings kQueueSettings{"WAL", 1000, 0};
const RawSettings kIndexSettings{"MEMORY", 20000, SQLITE_OPEN_NOMUTEX};

double RawWrite(const std::string& file, long files, long folders, const RawSettings& settings = kQueueSettings)
{
    bench::Stopwatch clock;
    sqlite3* db = RawOpen(file, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | settings.openFlags);
    // The file format the library writes: its page size, no syncs.
    Exec(db, "PRAGMA page_size=16384; PRAGMA synchronous=off;");
    Exec(db, ("PRAGMA journal_mode=" + std::string(settings.journal) + ";").c_str());
    Exec(db,
             "CREATE TABLE Folders (FolderId INTEGER PRIMARY KEY, FolderName VARCHAR COLLATE PATH_COMPONENTS, "
             "Metadata VARCHAR, RecordCreateTime BIGINT, RecordUpdateTime BIGINT);"
             "CREATE UNIQUE INDEX index_folders_foldername ON Folders(FolderName);"
             "CREATE TABLE Files (FileId INTEGER PRIMARY KEY, FolderId INTEGER, FileName VARCHAR, Metadata VARCHAR, "
             "RecordCreateTime BIGINT, RecordUpdateTime BIGINT);"
             "CREATE UNIQUE INDEX index_files_folderidfilename ON Files(FolderId,FileName);");
    const int64_t now = CTimeStamp::Now().GetSystemTime();
    sqlite3_stmt* folder = Prepare(db, "INSERT INTO Folders (FolderName, Metadata, RecordCreateTime, "
                                       "RecordUpdateTime) VALUES (?1, ?2, ?3, ?3);");
    Exec(db, "BEGIN;");
    std::vector<int64_t> ids(static_cast<size_t>(folders));
    for (long f = 0; f < folders; ++f) {
        const std::string name = FolderName(f);
        sqlite3_bind_text(folder, 1, name.c_str(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(folder, 2, "Type=\"folder\"", -1, SQLITE_STATIC);
        sqlite3_bind_int64(folder, 3, now);
        Check(sqlite3_step(folder), db, "folder");
        sqlite3_reset(folder);
        ids[static_cast<size_t>(f)] = sqlite3_last_insert_rowid(db);
    }
    Exec(db, "COMMIT;");
    sqlite3_finalize(folder);
    sqlite3_stmt* upsert = Prepare(
        db, "INSERT INTO Files (FolderId, FileName, Metadata, RecordCreateTime, RecordUpdateTime) VALUES (?1, ?2, ?3, "
            "?4, ?4) ON CONFLICT(FolderId,FileName) DO UPDATE SET Metadata=excluded.Metadata, "
            "RecordUpdateTime=excluded.RecordUpdateTime;");
    const long perFolder = files / folders;
    long inBatch = 0;
    Exec(db, "BEGIN;");
    for (long f = 0; f < folders; ++f) {
        for (long i = f * perFolder; i < (f + 1) * perFolder; ++i) {
            const std::string name = FileName(i);
            const std::string metadata = Metadata(i);
            sqlite3_bind_int64(upsert, 1, ids[static_cast<size_t>(f)]);
            sqlite3_bind_text(upsert, 2, name.c_str(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
            sqlite3_bind_text(upsert, 3, metadata.c_str(), static_cast<int>(metadata.size()), SQLITE_TRANSIENT);
            sqlite3_bind_int64(upsert, 4, now);
            Check(sqlite3_step(upsert), db, "upsert");
            sqlite3_reset(upsert);
            if (++inBatch == settings.rowsPerCommit) {
                Exec(db, "COMMIT; BEGIN;");
                inBatch = 0;
            }
        }
    }
    Exec(db, "COMMIT;");
    sqlite3_finalize(upsert);
    sqlite3_close(db);
    return clock.Seconds();
}

long RawWalk(const std::string& file, double& seconds)
{
    bench::Stopwatch clock;
    sqlite3* db = RawOpen(file, SQLITE_OPEN_READONLY);
    sqlite3_stmt* folders = Prepare(db, "SELECT * FROM Folders ORDER BY Folders.FolderName;");
    sqlite3_stmt* files = Prepare(db, "SELECT * FROM Files WHERE Files.FolderId=?;");
    long rows = 0;
    while (sqlite3_step(folders) == SQLITE_ROW) {
        sqlite3_bind_int64(files, 1, sqlite3_column_int64(folders, 0));
        while (sqlite3_step(files) == SQLITE_ROW) {
            const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(files, 2));
            rows += static_cast<long>(std::string(name, static_cast<size_t>(sqlite3_column_bytes(files, 2))).size() > 0);
        }
        sqlite3_reset(files);
        ++rows;
    }
    sqlite3_finalize(files);
    sqlite3_finalize(folders);
    sqlite3_close(db);
    seconds = clock.Seconds();
    return rows;
}

}  // namespace

int main(int argc, char** argv)
{
    const bool smoke = bench::Flag(argc, argv, "--smoke");
    const long files = bench::LongArgument(argc, argv, "--files", smoke ? 2000 : 1000000);
    const long folders = bench::LongArgument(argc, argv, "--folders", smoke ? 100 : 50000);
    if (folders <= 0 || files < folders) {
        std::fprintf(stderr, "need --files >= --folders > 0\n");
        return 2;
    }
    g_ptrLogWriter->SetTraceLevel(-1);
    bench::ScratchDir dir;
    const std::string library = dir.File("library.cx");
    const std::string raw = dir.File("raw.cx");
    const double rowsWritten = static_cast<double>(files / folders * folders + folders);

    std::printf("index database: %ld files in %ld folders\n", files / folders * folders, folders);
    // Best of three alternating runs of each side: this machine's neighbours
    // make single runs swing by a third.
    const int rounds = smoke ? 1 : 3;
    double libraryWrite = 1e300;
    double rawWrite = 1e300;
    double peakAfterWrite = 0;
    for (int round = 0; round < rounds; ++round) {
        std::remove(library.c_str());
        std::remove(raw.c_str());
        libraryWrite = std::min(libraryWrite, LibraryWrite(library, files, folders));
        if (round == 0)
            peakAfterWrite = bench::PeakRssMiB();
        rawWrite = std::min(rawWrite, RawWrite(raw, files, folders));
    }
    std::printf("  write   library %10.0f rows/s   raw %10.0f rows/s   ratio %.2f   (peak RSS after library write "
                "%.1f MiB)\n",
                rowsWritten / libraryWrite, rowsWritten / rawWrite, rawWrite / libraryWrite, peakAfterWrite);
    // The least SQLite takes for the rows of a tree as cx index writes them.
    double indexWrite = 1e300;
    for (int round = 0; round < rounds; ++round) {
        std::remove(raw.c_str());
        indexWrite = std::min(indexWrite, RawWrite(raw, files, folders, kIndexSettings));
    }
    std::printf("  write   raw with cx index's settings %10.0f rows/s (%.2f s)\n", rowsWritten / indexWrite, indexWrite);

    double hits = 0;
    double misses = 0;
    LibraryLookups(library, folders, hits, misses);
    std::printf("  lookup  cached %10.0f /s   uncached %10.0f /s\n", hits, misses);

    double libraryWalk = 1e300;
    double rawWalk = 1e300;
    long libraryRows = 0;
    long rawRows = 0;
    for (int round = 0; round < rounds; ++round) {
        double seconds = 0;
        libraryRows = LibraryWalk(library, seconds);
        libraryWalk = std::min(libraryWalk, seconds);
        rawRows = RawWalk(raw, seconds);
        rawWalk = std::min(rawWalk, seconds);
    }
    if (libraryRows != rawRows) {
        std::fprintf(stderr, "walks disagree: %ld rows vs %ld\n", libraryRows, rawRows);
        return 1;
    }
    std::printf("  walk    library %10.0f rows/s   raw %10.0f rows/s   ratio %.2f\n", libraryRows / libraryWalk,
                rawRows / rawWalk, rawWalk / libraryWalk);
    std::printf("  peak RSS %.1f MiB\n", bench::PeakRssMiB());
    return 0;
}
