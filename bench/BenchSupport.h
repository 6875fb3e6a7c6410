// Small helpers shared by the benchmark programs: wall-clock timing, peak
// resident memory, a scratch folder, argument parsing and stopping on a
// failure.
#pragma once

#include "KoError.h"

#include <sqlite3.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace bench {

// A benchmark that cannot do its work says why and stops.
inline void Die(const CKoError& error, const char* what)
{
    if (error.IsError()) {
        std::fprintf(stderr, "%s: %s\n", what, error.AsString().c_str());
        std::exit(2);
    }
}

// The same for a raw sqlite3 call's result.
inline void Check(int rc, sqlite3* db, const char* what)
{
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
        std::fprintf(stderr, "%s: %s\n", what, sqlite3_errmsg(db));
        std::exit(2);
    }
}

class Stopwatch {
public:
    Stopwatch() : start_(std::chrono::steady_clock::now()) {}
    double Seconds() const
    {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }

private:
    std::chrono::steady_clock::time_point start_;
};

// Folders come in groups of 50 below one parent, so that the collation sees
// shared prefixes of several depths.
inline std::string BenchFolderName(long i)
{
    char name[64];
    if (i % 50 == 0)
        std::snprintf(name, sizeof name, "/bench/g%05ld/", i / 50);
    else
        std::snprintf(name, sizeof name, "/bench/g%05ld/d%07ld/", i / 50, i);
    return name;
}

// Peak resident set size of this process so far, in MiB.
inline double PeakRssMiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// "--name value" from argv, or the fallback.
inline long LongArgument(int argc, char** argv, const char* name, long fallback)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0)
            return std::strtol(argv[i + 1], nullptr, 10);
    return fallback;
}

inline bool Flag(int argc, char** argv, const char* name)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], name) == 0)
            return true;
    return false;
}

// A scratch folder removed at exit of scope.
class ScratchDir {
public:
    ScratchDir()
    {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/cx-bench-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::exit(2);
        }
        path_ = pattern;
    }
    ~ScratchDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace bench
