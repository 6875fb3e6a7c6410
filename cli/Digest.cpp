#include "Digest.h"

#include "Cli.h"

#include <xxhash.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace cxcli {

DigestResult Digest(int directory, const char* name, std::vector<char>& buffer, std::string& hex)
{
    const int fd = openat(directory, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return DigestResult::kFailed;
    XXH3_state_t* state = XXH3_createState();
    bool ok = state != nullptr && XXH3_128bits_reset(state) == XXH_OK;
    bool interrupted = false;
    buffer.resize(1 << 20);
    while (ok) {
        // A large file must not hold Ctrl-C up until it is read through.
        if (g_interrupted.load(std::memory_order_relaxed)) {
            interrupted = true;
            break;
        }
        const ssize_t got = read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        ok = XXH3_128bits_update(state, buffer.data(), static_cast<size_t>(got)) == XXH_OK;
    }
    const int readError = errno;
    if (ok && !interrupted) {
        const XXH128_hash_t hash = XXH3_128bits_digest(state);
        char text[40];
        std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(hash.high64),
                      static_cast<unsigned long long>(hash.low64));
        hex = text;
    }
    XXH3_freeState(state);
    close(fd);
    errno = readError;
    return interrupted ? DigestResult::kInterrupted : ok ? DigestResult::kDone : DigestResult::kFailed;
}

}  // namespace cxcli
