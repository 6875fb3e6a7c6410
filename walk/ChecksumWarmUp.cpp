#include "ChecksumWarmUp.h"

#include "FileDigest.h"

#include <boost/make_shared.hpp>

#include <system_error>
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

CChecksumWarmUp::CChecksumWarmUp(EChecksum checksum) : d(boost::make_shared<CChecksumWarmUpPrivate>())
{
    if (!walk::ClaimSetUp(checksum))
        return;
    try {
        d->thread = std::thread([checksum] { walk::SetUp(checksum); });
    } catch (const std::system_error&) {
        walk::SetUp(checksum);  // no thread to spare: here, then
    }
}

CChecksumWarmUp::~CChecksumWarmUp() {}

}  // namespace CX
