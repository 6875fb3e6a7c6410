#include "ChecksumWarmUp.h"

#include "FileDigest.h"
#include "MakeSharedNothrow.h"

#include <thread>

namespace CX {

class CChecksumWarmUpPrivate {
public:
    ~CChecksumWarmUpPrivate()
    {
        if (thread.joinable())
            thread.join();
    }
    std::thread thread;
};

// Nothing here throws: without memory or a thread to spare, the first digest
// sets OpenSSL up, as it would without this.
CChecksumWarmUp::CChecksumWarmUp(EChecksum checksum) : d(FX::make_shared_nothrow<CChecksumWarmUpPrivate>())
{
    if (!d || !walk::ClaimSetUp(checksum))
        return;
    // libcrypto is loaded here, the rest on the thread: loaded there too, its
    // loading and the caller's work slowed each other down (a small check
    // with digests took 0.4 ms longer than with libcrypto loaded here).
    walk::LoadForSetUp();
    try {
        d->thread = std::thread([checksum] { walk::SetUp(checksum); });
    } catch (...) {  // std::system_error, or std::bad_alloc for the thread's state
        walk::SetUp(checksum);
    }
}

CChecksumWarmUp::~CChecksumWarmUp() {}

}  // namespace CX
