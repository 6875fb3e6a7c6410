// Reading folders: the open folders a walk keeps, and the names of one folder
// read straight from the kernel.
#pragma once

#include "ByteBuffer.h"
#include "FullIo.h"
#include "UniqueFd.h"

#include <atomic>
#include <cstddef>
#include <string>
#include <utility>

#include <dirent.h>
#include <unistd.h>

namespace CX::walk {

// An open folder, kept while subfolders of it wait to be opened from it by
// name: no path is ever longer than one name, and the kernel is spared the
// walk down the whole path. Only so many are kept at a time (a deep tree keeps
// one per level): the subfolders of the others are opened from their nearest
// ancestor that is kept, one name after the other.
class FolderHandle {
public:
    FolderHandle(FX::UniqueFd fd, std::atomic<size_t>& count) : fd_(std::move(fd)), count_(count) { ++count_; }
    ~FolderHandle() { --count_; }
    FolderHandle(const FolderHandle&) = delete;
    FolderHandle& operator=(const FolderHandle&) = delete;
    int Fd() const { return fd_.Get(); }

private:
    FX::UniqueFd fd_;
    std::atomic<size_t>& count_;
};

// How many folders may be kept open: raises the soft limit on descriptors to
// the hard one, and leaves room for the container, the listings read ahead
// and the files read for checksums.
size_t FolderHandleBudget();

// The names of an open folder, read straight from the kernel into a buffer of
// its own that is reused from folder to folder.
class FolderReader {
public:
    // Reads the folder `fd`, which it owns from now on.
    void Open(FX::UniqueFd fd)
    {
        fd_ = std::move(fd);
        position_ = end_ = 0;
        error_ = 0;
        if (buffer_.empty())
            buffer_.resize(32 * 1024);
    }
    // The next name other than "." and "..", or null at the end of the folder
    // or on a failure (then Error()).
    const char* Next()
    {
        for (;;) {
            if (position_ >= end_) {
                const ssize_t got =
                    FX::RetryOnEintr([this] { return getdents64(fd_.Get(), buffer_.data(), buffer_.size()); });
                if (got <= 0) {
                    error_ = got < 0 ? errno : 0;
                    return nullptr;
                }
                position_ = 0;
                end_ = static_cast<size_t>(got);
            }
            const auto* entry = reinterpret_cast<const struct dirent64*>(buffer_.data() + position_);
            position_ += entry->d_reclen;
            const char* name = entry->d_name;
            if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
                continue;
            type_ = entry->d_type;
            return name;
        }
    }
    int Fd() const { return fd_.Get(); }
    int Error() const { return error_; }
    // The type of the last name as the folder gives it (DT_DIR...), DT_UNKNOWN
    // where the file system does not say.
    unsigned char Type() const { return type_; }
    // The descriptor goes to the caller.
    FX::UniqueFd Release() { return std::move(fd_); }
    void Close() { fd_.Reset(); }

private:
    FX::UniqueFd fd_;
    ByteBuffer buffer_;
    size_t position_ = 0;
    size_t end_ = 0;
    int error_ = 0;
    unsigned char type_ = DT_UNKNOWN;
};

}  // namespace CX::walk
