// System calls that a signal may interrupt and that may move fewer bytes than
// asked: retried until they are done, so that callers see only a real
// failure or the end of the file.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace FX {

// Calls `call` again for as long as it fails with EINTR.
template <class Call>
auto RetryOnEintr(Call call) -> decltype(call())
{
    decltype(call()) result;
    do {
        result = call();
    } while (result < 0 && errno == EINTR);
    return result;
}

// Reads `length` bytes at `offset`, fewer only at the end of the file: the
// count read, or -1 with errno.
inline ssize_t PreadFull(int fd, void* buffer, size_t length, off_t offset)
{
    size_t done = 0;
    while (done < length) {
        const ssize_t got = RetryOnEintr(
            [&] { return pread(fd, static_cast<char*>(buffer) + done, length - done, offset + static_cast<off_t>(done)); });
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

// Reads up to `length` bytes from where the descriptor stands, fewer only at
// the end of the file: the count read, or -1 with errno.
inline ssize_t ReadFull(int fd, void* buffer, size_t length)
{
    size_t done = 0;
    while (done < length) {
        const ssize_t got = RetryOnEintr([&] { return read(fd, static_cast<char*>(buffer) + done, length - done); });
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

// Writes all `length` bytes at `offset`; false with errno.
inline bool PwriteFull(int fd, const void* buffer, size_t length, off_t offset)
{
    size_t done = 0;
    while (done < length) {
        const ssize_t put = RetryOnEintr([&] {
            return pwrite(fd, static_cast<const char*>(buffer) + done, length - done, offset + static_cast<off_t>(done));
        });
        if (put < 0)
            return false;
        done += static_cast<size_t>(put);
    }
    return true;
}

// Writes all `length` bytes where the descriptor stands; false with errno.
inline bool WriteFull(int fd, const void* buffer, size_t length)
{
    size_t done = 0;
    while (done < length) {
        const ssize_t put =
            RetryOnEintr([&] { return write(fd, static_cast<const char*>(buffer) + done, length - done); });
        if (put < 0)
            return false;
        done += static_cast<size_t>(put);
    }
    return true;
}

}  // namespace FX
