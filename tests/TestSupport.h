// Helpers shared by the tests: a fresh temporary folder per test.
#pragma once

#include <gtest/gtest.h>

#include <string>

class TempDir {
public:
    // Under $TMPDIR (or /tmp), or under `base` when given.
    explicit TempDir(const char* base = nullptr);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

class TempDirTest : public ::testing::Test {
protected:
    TempDir dir;
};

// A folder in memory (/dev/shm) where there is one, else the usual one: for
// tests that create hundreds of containers, where each fsync would cost.
const char* MemoryTempBase();

// Whole file content, or "" when missing.
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
