// Comparison at scale: two containers of N files and two of S×N files, each
// pair differing in 1% of files removed, 1% added and 1% with changed
// metadata, all written through the library (no real tree). The comparison of
// each pair is timed by the library and by the cx tool beside this program,
// each in a process of its own so that its peak resident memory is its own.
// Then, on the N-file pair, what SQLite's page size and page cache do to the
// container's size, the comparison's time and its memory.
//
//   LargeBench [--files N] [--scale S] [--smoke]
//
// scripts/bench runs it as "./scripts/bench large" (N = 1,000,000, S = 10).
// It needs room for four containers and copies: it skips, saying so, when the
// scratch folder's file system has less than 8 GiB free.
#include "BenchSupport.h"
#include "CompareContentContainers.h"
#include "ContentContainerDatabase.h"
#include "LogWriter.h"
#include "PathCollation.h"

#include <boost/make_shared.hpp>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

using bench::Die;

// File k of the tree: k % 100 == 0 only in the previous container, 1 only in
// the current one, 2 with other metadata in the current one.
void WriteContainer(const std::string& file, long files, bool current)
{
    const long folders = files / 20 > 0 ? files / 20 : 1;
    CX::CContentContainerDatabase db(file);
    Die(db.GetConstructionError(), "open");
    const CTimeStamp now = CTimeStamp::Now();
    Die(db.OpenFolderQueue(), "OpenFolderQueue");
    {
        FX::CDatabaseTransactionPtr transaction;
        Die(db.GetTransaction(transaction), "GetTransaction");
        int64_t ignored = -1;
        for (long f = 0; f < folders; ++f)
            Die(db.AddFolderToQueue(bench::BenchFolderName(f), "Type=\"folder\"", now, ignored), "AddFolderToQueue");
        Die(transaction->Commit(), "Commit");
    }
    Die(db.MergeFolderQueue(), "MergeFolderQueue");
    char name[32];
    char metadata[160];
    std::string nameText;
    std::string metadataText;
    for (long f = 0; f < folders; ++f) {
        int64_t folderId = -1;
        Die(db.QueryFolderId(bench::BenchFolderName(f), folderId), "QueryFolderId");
        for (long k = f * files / folders; k < (f + 1) * files / folders; ++k) {
            if ((k % 100 == 0 && current) || (k % 100 == 1 && !current))
                continue;
            std::snprintf(name, sizeof name, "IMG_%08ld.jpg", k);
            const long day = current && k % 100 == 2 ? 8 : 7;
            std::snprintf(metadata, sizeof metadata,
                          "Type=\"file\" Size=\"%ld\" MTime=\"2026-12-%02ldT10:00:00.123456789Z\" Mode=\"0644\" "
                          "Uid=\"1000\" Gid=\"1000\"",
                          k * 37 % 1000003, day);
            nameText = name;
            metadataText = metadata;
            Die(db.QueueInsertOrUpdateFile(folderId, nameText, metadataText, now), "QueueInsertOrUpdateFile");
        }
    }
    Die(db.FlushQueue(), "FlushQueue");
    // What cx records of a finished snapshot, so that its diff has nothing to warn of.
    Die(db.SetValue("SnapshotState", "complete"), "SetValue");
}

// Copies `from` to `to` rewritten with pages of `pageSize` bytes.
void CopyWithPageSize(const std::string& from, const std::string& to, int pageSize)
{
    sqlite3* db = nullptr;
    if (sqlite3_open(from.c_str(), &db) != SQLITE_OK) {
        std::fprintf(stderr, "open %s: %s\n", from.c_str(), sqlite3_errmsg(db));
        std::exit(2);
    }
    sqlite3_create_collation(db, "PATH_COMPONENTS", SQLITE_UTF8, nullptr, &CX::sqlite_collation_bypath);
    const std::string sql = "PRAGMA page_size=" + std::to_string(pageSize) + "; VACUUM INTO '" + to + "';";
    char* message = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        std::fprintf(stderr, "%s: %s\n", sql.c_str(), message ? message : "");
        std::exit(2);
    }
    sqlite3_close(db);
}

int PageSize(const std::string& file)
{
    std::ifstream in(file, std::ios::binary);
    unsigned char header[18] = {};
    in.read(reinterpret_cast<char*>(header), sizeof header);
    const int size = header[16] << 8 | header[17];
    return size == 1 ? 65536 : size;
}

double FileBytes(const std::string& file)
{
    std::error_code error;
    const auto size = std::filesystem::file_size(file, error);
    return error ? 0 : static_cast<double>(size);
}

// ---------------------------------------------------------------- comparison child

class CountingCallback : public CX::CCompareContentContainersCallback {
public:
    long long events = 0;
    CKoError OnFolderInIndex1(const string&, const string&) override { return Count(); }
    CKoError OnFileInIndex1(const string&, const string&, const string&, const string&) override { return Count(); }
    CKoError OnFolderInIndex2(const string&, const string&) override { return Count(); }
    CKoError OnFileInIndex2(const string&, const string&, const string&, const string&) override { return Count(); }
    CKoError OnFolderInBothIndexes(const string&, const string&, const string&) override { return Count(); }
    CKoError OnFileInBothIndexes(const string&, const string&, const string&, const string&,
                                 const string&) override
    {
        return Count();
    }

private:
    CKoError Count()
    {
        ++events;
        return CKoError::Success();
    }
};

long g_cacheKiB = 0;

// Gives every connection this process opens a page cache of g_cacheKiB.
int SetCacheSize(sqlite3* db, char**, const sqlite3_api_routines*)
{
    const std::string sql = "PRAGMA cache_size=-" + std::to_string(g_cacheKiB) + ";";
    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    return SQLITE_OK;
}

double CpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Compares `previous` with `current` and prints the events, the seconds and
// the seconds of CPU.
int CompareChild(const char* previous, const char* current, long cacheKiB)
{
    g_ptrLogWriter->SetTraceLevel(-1);
    if (cacheKiB > 0) {
        g_cacheKiB = cacheKiB;
        sqlite3_auto_extension(reinterpret_cast<void (*)()>(&SetCacheSize));
    }
    // The walk writes its progress to standard output: keep it off the result.
    const int result = dup(1);
    if (result < 0 || freopen("/dev/null", "w", stdout) == nullptr)
        return 2;
    const double cpu = CpuSeconds();
    bench::Stopwatch clock;
    auto callback = boost::make_shared<CountingCallback>();
    CX::CCompareContentContainers compare(current, previous, callback);
    Die(compare.CompareDatabases(), "CompareDatabases");
    const double seconds = clock.Seconds();
    const std::string line = std::to_string(callback->events) + " " + std::to_string(seconds) + " " +
                             std::to_string(CpuSeconds() - cpu) + "\n";
    return write(result, line.data(), line.size()) == static_cast<ssize_t>(line.size()) ? 0 : 2;
}

// ---------------------------------------------------------------- parent

struct ChildRun {
    double wall = 0;
    double cpu = 0;
    double peakMiB = 0;
    std::string output;
};

// Runs `argv` with its standard output in `outputFile` and answers its wall
// time and peak resident memory. This process stays small, so the child's
// peak is its own work's.
ChildRun Run(const std::vector<std::string>& argv, const std::string& outputFile, int highestSuccess = 0)
{
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    std::fflush(stdout);
    bench::Stopwatch clock;
    const pid_t child = fork();
    if (child < 0) {
        std::perror("fork");
        std::exit(2);
    }
    if (child == 0) {
        if (freopen(outputFile.c_str(), "w", stdout) == nullptr)
            _exit(127);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) > highestSuccess) {
        std::fprintf(stderr, "%s failed\n", argv[0].c_str());
        std::exit(2);
    }
    ChildRun run;
    run.wall = clock.Seconds();
    run.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
              static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    run.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
    std::ifstream in(outputFile);
    std::getline(in, run.output);
    return run;
}

// Runs `work` in a child process, so that what it allocates stays there.
template <typename Work>
double InChild(Work work)
{
    std::fflush(stdout);
    bench::Stopwatch clock;
    const pid_t child = fork();
    if (child == 0) {
        work();
        _exit(0);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "a child failed\n");
        std::exit(2);
    }
    return clock.Seconds();
}

// Wall clock and CPU time: on a machine that other work shares, the wall
// clock says more about the neighbours than about the walk.
struct Comparison {
    double seconds = 0;  // the walk's own, as the child measured it
    double cpu = 0;
    double peakMiB = 0;
    long long events = 0;
};

Comparison LibraryCompare(const std::string& self, const std::string& previous, const std::string& current,
                          const std::string& scratch, long cacheKiB = 0)
{
    // Best of two: the first run may meet a cold page cache.
    Comparison best;
    for (int round = 0; round < 2; ++round) {
        ChildRun run = Run({self, "--compare", previous, current, std::to_string(cacheKiB)}, scratch);
        Comparison one;
        std::sscanf(run.output.c_str(), "%lld %lf %lf", &one.events, &one.seconds, &one.cpu);
        one.peakMiB = run.peakMiB;
        if (round == 0 || one.cpu < best.cpu)
            best = one;
    }
    return best;
}

struct Size {
    long files = 0;
    std::string previous, current;
    double writeSeconds = 0;
    Comparison library;
    ChildRun tool;
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && std::strcmp(argv[1], "--compare") == 0)
        return CompareChild(argv[2], argv[3], std::strtol(argv[4], nullptr, 10));

    const bool smoke = bench::Flag(argc, argv, "--smoke");
    const long files = bench::LongArgument(argc, argv, "--files", smoke ? 2000 : 1000000);
    const long scale = bench::LongArgument(argc, argv, "--scale", smoke ? 2 : 10);
    if (files < 100 || scale < 1) {
        std::fprintf(stderr, "need --files >= 100 and --scale >= 1\n");
        return 2;
    }
    g_ptrLogWriter->SetTraceLevel(-1);
    bench::ScratchDir scratch;
    const std::string self = std::filesystem::canonical("/proc/self/exe").string();
    const std::string tool = std::filesystem::path(self).parent_path().parent_path().string() + "/cli/cx";
    const bool haveTool = !smoke && access(tool.c_str(), X_OK) == 0;

    struct statvfs fs {};
    const std::string folder = std::filesystem::path(scratch.File("x")).parent_path().string();
    if (!smoke && statvfs(folder.c_str(), &fs) == 0) {
        const double freeGiB = static_cast<double>(fs.f_bavail) * static_cast<double>(fs.f_frsize) / (1 << 30);
        if (freeGiB < 8) {
            std::printf("large: skipped, %.1f GiB free in %s, 8 GiB needed\n", freeGiB, folder.c_str());
            return 0;
        }
    }

    std::printf("large: %ld and %ld files, 20 to a folder, about 1%% removed, 1%% added, 1%% changed\n", files,
                files * scale);
    std::vector<Size> sizes(2);
    sizes[0].files = files;
    sizes[1].files = files * scale;
    for (size_t i = 0; i < sizes.size(); ++i) {
        Size& size = sizes[i];
        size.previous = scratch.File("previous" + std::to_string(i) + ".cx");
        size.current = scratch.File("current" + std::to_string(i) + ".cx");
        size.writeSeconds = InChild([&] {
            WriteContainer(size.previous, size.files, false);
            WriteContainer(size.current, size.files, true);
        });
        size.library = LibraryCompare(self, size.previous, size.current, scratch.File("out"));
        if (haveTool)
            size.tool = Run({tool, "diff", size.previous, size.current}, "/dev/null", 1);  // 1: differences shown
        const double rows = static_cast<double>(2 * size.files);
        std::printf("  %9ld files: written through the library in %.1f s (%.0f rows/s), %.1f bytes per file "
                    "(page size %d)\n",
                    size.files, size.writeSeconds, rows / size.writeSeconds,
                    FileBytes(size.previous) / static_cast<double>(size.files), PageSize(size.previous));
        std::printf("  %9ld files: library compare %.2f s (CPU %.2f s), %lld events, peak RSS %.1f MiB", size.files,
                    size.library.seconds, size.library.cpu, size.library.events, size.library.peakMiB);
        if (haveTool)
            std::printf("; cx diff %.2f s (CPU %.2f s), peak RSS %.1f MiB", size.tool.wall, size.tool.cpu,
                        size.tool.peakMiB);
        std::printf("\n");
    }
    std::printf("  %ldx the files: library compare %.2fx the time (CPU %.2fx)", scale,
                sizes[1].library.seconds / sizes[0].library.seconds, sizes[1].library.cpu / sizes[0].library.cpu);
    if (haveTool)
        std::printf(", cx diff %.2fx (CPU %.2fx)", sizes[1].tool.wall / sizes[0].tool.wall,
                    sizes[1].tool.cpu / sizes[0].tool.cpu);
    std::printf("\n");

    // The page size of the N-file pair, rewritten; and the page cache of
    // each connection, set before the walk reads anything.
    const Size& base = sizes[0];
    for (const int pageSize : {4096, 16384, 65536}) {
        const std::string previous = scratch.File("previous-" + std::to_string(pageSize) + ".cx");
        const std::string current = scratch.File("current-" + std::to_string(pageSize) + ".cx");
        InChild([&] {
            CopyWithPageSize(base.previous, previous, pageSize);
            CopyWithPageSize(base.current, current, pageSize);
        });
        const Comparison run = LibraryCompare(self, previous, current, scratch.File("out"));
        std::printf("  page size %5d: %.1f bytes per file, library compare %.2f s (CPU %.2f s), peak RSS %.1f MiB\n",
                    pageSize, FileBytes(previous) / static_cast<double>(base.files), run.seconds, run.cpu,
                    run.peakMiB);
        std::filesystem::remove(previous);
        std::filesystem::remove(current);
    }
    for (const long cacheKiB : {256L, 2000L, 8000L, 32000L}) {
        const Comparison run = LibraryCompare(self, base.previous, base.current, scratch.File("out"), cacheKiB);
        std::printf("  page cache %5ld KiB a connection: library compare %.2f s (CPU %.2f s), peak RSS %.1f MiB\n",
                    cacheKiB, run.seconds, run.cpu, run.peakMiB);
    }
    return 0;
}
