#include "FileDigest.h"

#include "FullIo.h"
#include "UniqueFd.h"

#include <xxhash.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>

namespace CX::walk {

namespace {

struct FreeState {
    void operator()(XXH3_state_t* state) const { XXH3_freeState(state); }
};

bool SameTime(const timespec& a, const timespec& b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

DigestResult Digest(int directory, const char* name, const struct stat& status, std::vector<char>& buffer,
                    std::string& hex, const std::function<bool()>& stopped)
{
    const FX::UniqueFd file(openat(directory, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!file)
        return errno == ENOENT ? DigestResult::kVanished : DigestResult::kFailed;
    const int fd = file.Get();
    // What was opened must be the file that was stat'ed, not one put in its
    // place since.
    struct stat opened {};
    if (fstat(fd, &opened) != 0)
        return DigestResult::kFailed;
    if (opened.st_dev != status.st_dev || opened.st_ino != status.st_ino || !S_ISREG(opened.st_mode))
        return DigestResult::kChanged;
    const std::unique_ptr<XXH3_state_t, FreeState> state(XXH3_createState());
    if (!state || XXH3_128bits_reset(state.get()) != XXH_OK) {
        errno = ENOMEM;
        return DigestResult::kFailed;
    }
    buffer.resize(1 << 20);
    off_t left = status.st_size;
    while (left > 0) {
        // A large file must not hold a stop up until it is read through.
        if (stopped())
            return DigestResult::kInterrupted;
        const auto want = static_cast<size_t>(std::min<off_t>(left, static_cast<off_t>(buffer.size())));
        const ssize_t got = FX::RetryOnEintr([&] { return read(fd, buffer.data(), want); });
        if (got < 0)
            return DigestResult::kFailed;
        if (got == 0)
            break;  // shorter than it said: the check below tells a change from a pseudo file
        if (XXH3_128bits_update(state.get(), buffer.data(), static_cast<size_t>(got)) != XXH_OK) {
            errno = ENOMEM;
            return DigestResult::kFailed;
        }
        left -= got;
    }
    struct stat after {};
    if (fstat(fd, &after) != 0)
        return DigestResult::kFailed;
    if (after.st_size != status.st_size || !SameTime(after.st_mtim, status.st_mtim))
        return DigestResult::kChanged;
    const XXH128_hash_t hash = XXH3_128bits_digest(state.get());
    char text[40];
    std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(hash.high64),
                  static_cast<unsigned long long>(hash.low64));
    hex = text;
    return DigestResult::kDone;
}

}  // namespace CX::walk
