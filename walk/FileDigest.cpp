#include "FileDigest.h"

#include "FullIo.h"
#include "Hex.h"
#include "LibCrypto.h"
#include "UniqueFd.h"

#include <xxhash.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <stdexcept>

namespace CX::walk {

namespace {

constexpr size_t kReadSize = 1 << 20;

bool SameTime(const timespec& a, const timespec& b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// How far OpenSSL is set up for digests: once any digest was fetched, it has
// every one of them at hand.
enum : int { kNotSetUp, kSettingUp, kSetUp };
std::atomic<int> g_openSsl{kNotSetUp};

// OpenSSL's name of the algorithm; null for one OpenSSL does not compute.
const char* OpenSslName(EChecksum algorithm)
{
    switch (algorithm) {
    case EChecksum::SHA256: return "SHA256";
    case EChecksum::SHA512: return "SHA512";
    case EChecksum::BLAKE2b: return "BLAKE2B-512";
    default: return nullptr;
    }
}

// The algorithm's implementation, fetched once for the thread's state: the
// EVP_sha256() kind of handle would be looked up again on every file.
EVP_MD* FetchDigest(EChecksum algorithm)
{
    const char* const name = OpenSslName(algorithm);
    if (name == nullptr)
        return nullptr;
    EVP_MD* md = LibCrypto::Get().mdFetch(nullptr, name, nullptr);
    if (md == nullptr)
        throw std::runtime_error(std::string("OpenSSL has no ") + name);
    g_openSsl.store(kSetUp, std::memory_order_relaxed);
    return md;
}

// A read buffer as large as the largest file read so far needs, up to
// kReadSize: small files do not pay for clearing a large one.
size_t BufferSizeFor(uint64_t fileSize)
{
    constexpr size_t kSmallest = 64 << 10;
    size_t size = kSmallest;
    while (size < kReadSize && size < fileSize)
        size *= 2;
    return size;
}

}  // namespace

// The running hash of one file: an OpenSSL context, or XXH3's state.
class FileDigest::State {
public:
    explicit State(EChecksum algorithm) : md_(FetchDigest(algorithm))
    {
        if (md_ != nullptr) {
            crypto_ = &LibCrypto::Get();
            context_ = crypto_->contextNew();
            if (context_ == nullptr) {
                crypto_->mdFree(md_);
                throw std::bad_alloc();
            }
        } else if (algorithm == EChecksum::XXH128) {
            xxh_ = XXH3_createState();
            if (xxh_ == nullptr)
                throw std::bad_alloc();
        } else {
            throw std::invalid_argument("no digest algorithm");
        }
    }
    ~State()
    {
        if (crypto_ != nullptr) {
            crypto_->contextFree(context_);
            crypto_->mdFree(md_);
        }
        XXH3_freeState(xxh_);
    }
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    bool Reset()
    {
        if (md_ != nullptr)
            return crypto_->digestInit(context_, md_, nullptr) == 1;
        return XXH3_128bits_reset(xxh_) == XXH_OK;
    }
    bool Update(const char* data, size_t length)
    {
        if (md_ != nullptr)
            return crypto_->digestUpdate(context_, data, length) == 1;
        return XXH3_128bits_update(xxh_, data, length) == XXH_OK;
    }
    bool Final(std::string& hex)
    {
        hex.clear();
        if (md_ != nullptr) {
            unsigned char digest[EVP_MAX_MD_SIZE];
            unsigned int length = 0;
            if (crypto_->digestFinal(context_, digest, &length) != 1)
                return false;
            FX::AppendHex(hex, digest, length);
            return true;
        }
        // As xxh128sum prints it: the high half first.
        XXH128_canonical_t canonical;
        XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(xxh_));
        FX::AppendHex(hex, canonical.digest, sizeof canonical.digest);
        return true;
    }

private:
    EVP_MD* const md_;
    const LibCrypto* crypto_ = nullptr;  // with md_
    EVP_MD_CTX* context_ = nullptr;
    XXH3_state_t* xxh_ = nullptr;
};

FileDigest::FileDigest(EChecksum algorithm) : state_(std::make_unique<State>(algorithm)) {}

FileDigest::~FileDigest() = default;

DigestResult FileDigest::Digest(int directory, const char* name, const EntryStatus& status, std::string& hex,
                                const std::function<bool()>& stopped)
{
    const FX::UniqueFd file(openat(directory, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!file)
        return errno == ENOENT ? DigestResult::kVanished : DigestResult::kFailed;
    const int fd = file.Get();
    // What was opened must be the file that was stat'ed, not one put in its
    // place since.
    EntryStatus opened;
    if (!StatOpen(fd, opened))
        return DigestResult::kFailed;
    if (opened.device != status.device || opened.inode != status.inode || !opened.IsRegular())
        return DigestResult::kChanged;
    if (!state_->Reset()) {
        errno = ENOMEM;
        return DigestResult::kFailed;
    }
    if (buffer_.size() < kReadSize && buffer_.size() < status.size)
        buffer_.resize(BufferSizeFor(status.size));
    // Read-ahead helps only a file that takes more than one read.
    if (status.size > buffer_.size())
        (void)posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    uint64_t left = status.size;
    while (left > 0) {
        // A large file must not hold a stop up until it is read through.
        if (stopped())
            return DigestResult::kInterrupted;
        const size_t want = static_cast<size_t>(std::min<uint64_t>(left, buffer_.size()));
        const ssize_t got = FX::RetryOnEintr([&] { return read(fd, buffer_.data(), want); });
        if (got < 0)
            return DigestResult::kFailed;
        if (got == 0)
            break;  // shorter than it said: the check below tells a change from a pseudo file
        if (!state_->Update(buffer_.data(), static_cast<size_t>(got))) {
            errno = ENOMEM;
            return DigestResult::kFailed;
        }
        left -= static_cast<uint64_t>(got);
    }
    EntryStatus after;
    if (!StatOpen(fd, after))
        return DigestResult::kFailed;
    if (after.size != status.size || !SameTime(after.mtime, status.mtime) || !SameTime(after.ctime, status.ctime))
        return DigestResult::kChanged;
    if (!state_->Final(hex)) {
        errno = ENOMEM;
        return DigestResult::kFailed;
    }
    return DigestResult::kDone;
}

bool ClaimSetUp(EChecksum algorithm)
{
    int expected = kNotSetUp;
    return OpenSslName(algorithm) != nullptr &&
           g_openSsl.compare_exchange_strong(expected, kSettingUp, std::memory_order_relaxed);
}

void LoadForSetUp() noexcept
{
    try {
        (void)LibCrypto::Get();
    } catch (const std::exception&) {
    }
}

void SetUp(EChecksum algorithm) noexcept
{
    // Loading libcrypto and the first fetch are the set-up; the handle is not
    // needed. A failure is left to the digest that needs it, which says why.
    EVP_MD* md = nullptr;
    const LibCrypto* crypto = nullptr;
    try {
        crypto = &LibCrypto::Get();
        md = crypto->mdFetch(nullptr, OpenSslName(algorithm), nullptr);
    } catch (const std::exception&) {
    }
    int expected = kSettingUp;
    (void)g_openSsl.compare_exchange_strong(expected, md != nullptr ? kSetUp : kNotSetUp,
                                            std::memory_order_relaxed);
    if (md != nullptr)
        crypto->mdFree(md);
}

std::string Sha256Hex(std::string_view bytes)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    std::string hex;
    const LibCrypto& crypto = LibCrypto::Get();
    // No digest would make every long value look the same as any other.
    if (crypto.digest(bytes.data(), bytes.size(), digest, &length, crypto.sha256(), nullptr) != 1)
        throw std::runtime_error("OpenSSL cannot take SHA-256 digests, which long extended attribute values need");
    FX::AppendHex(hex, digest, length);
    return hex;
}

}  // namespace CX::walk
