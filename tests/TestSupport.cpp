#include "TestSupport.h"

#include "LogWriter.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

TempDir::TempDir(const char* base)
{
    if (base == nullptr || *base == '\0')
        base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/cx-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

const char* MemoryTempBase()
{
    struct stat status {};
    return stat("/dev/shm", &status) == 0 && S_ISDIR(status.st_mode) && access("/dev/shm", W_OK) == 0 ? "/dev/shm"
                                                                                                      : nullptr;
}

std::string ReadFileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

namespace {
// The suite provokes failures on purpose; keep their log lines out of the
// output unless CX_TRACE_LEVEL asks for them.
class QuietLog : public ::testing::Environment {
public:
    void SetUp() override
    {
        if (std::getenv("CX_TRACE_LEVEL") == nullptr && g_ptrLogWriter)
            g_ptrLogWriter->SetTraceLevel(-2);
    }
};
const auto* const kQuietLog = ::testing::AddGlobalTestEnvironment(new QuietLog);
}  // namespace
