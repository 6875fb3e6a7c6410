// The checksum of a file's content, for a walk that records digests.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

namespace CX::walk {

enum class DigestResult {
    kDone,
    kVanished,     // the file is gone
    kFailed,       // it could not be opened or read: errno says why
    kChanged,      // it is not the file `status` describes, or it changed while read
    kInterrupted,  // `stopped` answered true
};

// Reads the file `name` of the open folder `directory`, which fstatat
// described as `status`, and puts the XXH128 of its content in `hex` (32 hex
// digits); `buffer` is reused from file to file. No more than the size in
// `status` is read, so a file that reports a size of 0 but reads on without
// end (as some under /proc do) costs nothing, and one that ends sooner (as
// under /sys) gives the checksum of what it holds. `stopped` is asked between
// reads, so that a large file does not hold a stop up.
DigestResult Digest(int directory, const char* name, const struct stat& status, std::vector<char>& buffer,
                    std::string& hex, const std::function<bool()>& stopped);

}  // namespace CX::walk
