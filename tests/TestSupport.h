// Helpers shared by the tests: a fresh temporary folder per test.
#pragma once

#include <gtest/gtest.h>

#include <string>

class TempDir {
public:
    TempDir();
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

// Whole file content, or "" when missing.
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
