// Owned file descriptors and streams: closed when their owner goes, however
// it goes.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <utility>

namespace FX {

// One file descriptor, or none (-1). Moves, never copies.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    explicit operator bool() const { return Valid(); }
    // The descriptor goes to the caller.
    int Release() { return std::exchange(fd_, -1); }
    // Closes what is held and holds `fd` instead.
    void Reset(int fd = -1)
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

struct FileCloser {
    void operator()(std::FILE* file) const
    {
        if (file != nullptr)
            std::fclose(file);
    }
};
// A stdio stream closed with its owner.
typedef std::unique_ptr<std::FILE, FileCloser> UniqueFile;

}  // namespace FX
