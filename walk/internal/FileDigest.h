// The digest of a file's content, for a walk that records digests: SHA-256,
// SHA-512 and BLAKE2b-512 through OpenSSL (which uses the CPU's SHA
// instructions where it has them), XXH128 through libxxhash. Each is written
// in lower-case hex, as sha256sum, sha512sum, b2sum and xxh128sum print it.
#pragma once

#include "ByteBuffer.h"
#include "EntryStatus.h"
#include "IndexSettings.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace CX::walk {

enum class DigestResult {
    kDone,
    kVanished,     // the file is gone
    kFailed,       // it could not be opened or read: errno says why
    kChanged,      // it is not the file `status` describes, or it changed while read
    kInterrupted,  // `stopped` answered true
};

// One thread's digest maker: its buffer and hash state are reused from file
// to file.
class FileDigest {
public:
    explicit FileDigest(EChecksum algorithm);
    ~FileDigest();
    FileDigest(const FileDigest&) = delete;
    FileDigest& operator=(const FileDigest&) = delete;

    // Reads the file `name` of the open folder `directory`, which the walk
    // described as `status`, and puts the digest of its content in `hex`. No
    // more than the size in `status` is read, so a file that reports a size
    // of 0 but reads on without end (as some under /proc do) costs nothing,
    // and one that ends sooner (as under /sys) gives the digest of what it
    // holds. `stopped` is asked between reads, so that a large file does not
    // hold a stop up.
    DigestResult Digest(int directory, const char* name, const EntryStatus& status, std::string& hex,
                        const std::function<bool()>& stopped);

private:
    class State;

    std::unique_ptr<State> state_;
    ByteBuffer buffer_;  // as large as the largest file read so far, up to a limit
};

// OpenSSL sets itself up for digests on the first fetch of the process
// (CChecksumWarmUp). ClaimSetUp answers true to the one caller that is to run
// SetUp for an algorithm OpenSSL computes, while nobody has yet. SetUp loads
// libcrypto unless LoadForSetUp did; a failure of either is left to the
// digest that needs it, which says why.
bool ClaimSetUp(EChecksum algorithm);
void LoadForSetUp() noexcept;
void SetUp(EChecksum algorithm) noexcept;

// The SHA-256 of `bytes` in lower-case hex. Throws std::runtime_error when
// libcrypto cannot be loaded or OpenSSL cannot take it.
std::string Sha256Hex(std::string_view bytes);

}  // namespace CX::walk
