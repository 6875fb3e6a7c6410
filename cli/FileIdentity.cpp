#include "FileIdentity.h"

#include <chrono>
#include <ctime>
#include <thread>

namespace cxcli {

namespace {

int64_t Nanoseconds(const struct timespec& time) { return int64_t{time.tv_sec} * 1000000000 + time.tv_nsec; }

}  // namespace

FileIdentity FileIdentity::Of(const struct stat& status)
{
    FileIdentity identity;
    identity.device = status.st_dev;
    identity.inode = status.st_ino;
    identity.size = status.st_size;
    identity.mtimeNs = Nanoseconds(status.st_mtim);
    identity.ctimeNs = Nanoseconds(status.st_ctim);
    return identity;
}

bool FileIdentity::operator==(const FileIdentity& other) const
{
    return device == other.device && inode == other.inode && size == other.size && mtimeNs == other.mtimeNs &&
           ctimeNs == other.ctimeNs;
}

FileIdentity Identify(const std::string& path, bool settle)
{
    constexpr int64_t kTicks = 50 * 1000 * 1000;  // a few of the kernel's ticks, in nanoseconds
    for (int round = 0;; ++round) {
        struct stat status {};
        if (stat(path.c_str(), &status) != 0)
            return FileIdentity();
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        const int64_t age = Nanoseconds(now) - Nanoseconds(status.st_ctim);
        if (!settle || round > 0 || age > kTicks || age < 0)
            return FileIdentity::Of(status);
        std::this_thread::sleep_for(std::chrono::nanoseconds(kTicks - age + 1000000));
    }
}

bool HasSideFiles(const std::string& path)
{
    struct stat side {};
    for (const char* suffix : {"-wal", "-shm", "-journal"})
        if (lstat((path + suffix).c_str(), &side) == 0)
            return true;
    return false;
}

}  // namespace cxcli
