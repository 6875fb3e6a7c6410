// Unique name check throughput: one checker, two threads each with its own
// clone, and raw sqlite3 running the same insert on a table of the same
// definition, all over the same names (a quarter of them repeats).
//
//   UniqueNameBench [--files N] [--smoke]      (--folders is accepted and ignored)
#include "BenchSupport.h"
#include "LogWriter.h"
#include "UniqueNameCheck.h"

#include <boost/make_shared.hpp>
#include <sqlite3.h>

#include <string>
#include <thread>
#include <vector>

namespace {

using bench::Die;
using bench::Check;

// Every fourth name repeats one seen earlier.
std::vector<std::string> MakeNames(long count)
{
    std::vector<std::string> names;
    names.reserve(static_cast<size_t>(count));
    for (long i = 0; i < count; ++i) {
        const long id = i % 4 == 3 ? i / 2 : i;
        names.push_back("/bench/d" + std::to_string(id % 97) + "/folder" + std::to_string(id / 20) + "/file" +
                        std::to_string(id) + ".dat");
    }
    return names;
}

// Names answered "new".
long LibraryOneChecker(const std::vector<std::string>& names, double& seconds)
{
    CX::CUniqueNameCheck check(true);
    long added = 0;
    bench::Stopwatch clock;
    for (const std::string& name : names) {
        bool exists = false;
        Die(check.CheckName(name, exists), "CheckName");
        added += !exists;
    }
    seconds = clock.Seconds();
    return added;
}

long LibraryTwoClones(const std::vector<std::string>& names, double& seconds)
{
    CX::CUniqueNameCheck check(true);
    CX::CUniqueNameCheckPtr clones[2] = {check.GetClone(), check.GetClone()};
    long added[2] = {0, 0};
    bench::Stopwatch clock;
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            for (size_t i = static_cast<size_t>(t); i < names.size(); i += 2) {
                bool exists = false;
                Die(clones[t]->CheckName(names[i], exists), "CheckName");
                added[t] += !exists;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    seconds = clock.Seconds();
    return added[0] + added[1];
}

// The checker's own open, settings, table and statement, driven directly.
long Raw(const std::vector<std::string>& names, double& seconds)
{
    sqlite3* db = nullptr;
    Check(sqlite3_open_v2("", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr), db,
          "open");
    Check(sqlite3_exec(db,
                       "PRAGMA journal_mode=WAL; PRAGMA synchronous=off;"
                       "CREATE TABLE IF NOT EXISTS Names (Name VARCHAR PRIMARY KEY );",
                       nullptr, nullptr, nullptr),
          db, "schema");
    sqlite3_stmt* insert = nullptr;
    Check(sqlite3_prepare_v2(db, "INSERT INTO Names (Name) VALUES (?1) ON CONFLICT DO NOTHING;", -1, &insert, nullptr),
          db, "prepare");
    long added = 0;
    bench::Stopwatch clock;
    for (const std::string& name : names) {
        sqlite3_bind_text64(insert, 1, name.data(), name.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
        Check(sqlite3_step(insert), db, "insert");
        added += sqlite3_changes(db);
        sqlite3_reset(insert);
    }
    seconds = clock.Seconds();
    sqlite3_finalize(insert);
    sqlite3_close(db);
    return added;
}

}  // namespace

int main(int argc, char** argv)
{
    const bool smoke = bench::Flag(argc, argv, "--smoke");
    const long count = bench::LongArgument(argc, argv, "--files", smoke ? 2000 : 100000);
    if (count <= 0) {
        std::fprintf(stderr, "need --files > 0\n");
        return 2;
    }
    g_ptrLogWriter->SetTraceLevel(-1);
    const std::vector<std::string> names = MakeNames(count);
    const double total = static_cast<double>(count);
    const double peakWithNames = bench::PeakRssMiB();

    double one = 0;
    double two = 0;
    double raw = 0;
    const long addedOne = LibraryOneChecker(names, one);
    const double peakAfterOne = bench::PeakRssMiB();
    const long addedTwo = LibraryTwoClones(names, two);
    const long addedRaw = Raw(names, raw);
    if (addedOne != addedRaw || addedTwo != addedRaw) {
        std::fprintf(stderr, "new names disagree: %ld, %ld (two clones), raw %ld\n", addedOne, addedTwo, addedRaw);
        return 1;
    }
    std::printf("unique name check: %ld names, %ld distinct (peak RSS with the names in memory %.1f MiB)\n", count,
                addedRaw, peakWithNames);
    std::printf("  1 checker          %10.0f names/s   ratio to raw %.2f   (peak RSS after it %.1f MiB)\n",
                total / one, raw / one, peakAfterOne);
    std::printf("  2 threads, clones  %10.0f names/s   ratio to raw %.2f\n", total / two, raw / two);
    std::printf("  raw sqlite3 loop   %10.0f names/s\n", total / raw);
    std::printf("  peak RSS %.1f MiB\n", bench::PeakRssMiB());
    return 0;
}
