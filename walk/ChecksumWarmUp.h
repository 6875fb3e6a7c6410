// CX::CChecksumWarmUp: OpenSSL made ready for digests while other work goes on.
//
// The first digest a process takes through OpenSSL waits for libcrypto to
// be loaded (about 0.6 ms; the library does not load it until then) and for
// OpenSSL to set itself up (its configuration read, its provider started,
// its digests listed): about 0.7 ms more, as long as cx check --checksum
// spends on everything else of a small tree. An object of this class loads
// libcrypto as it is made and does the rest on a thread of its own, so that
// a host that knows digests are coming (it read a snapshot's settings, or
// was asked for them) can open its containers meanwhile.
// Whoever takes a digest first waits for what is not done yet; nothing else
// changes. Once set up, or for XXH128 or no digests, nothing is started.
//
// The destructor waits for the thread; scopes may nest and overlap.
#pragma once

#include "Export.h"
#include "IndexSettings.h"

#include <boost/shared_ptr.hpp>

namespace CX {

class CChecksumWarmUpPrivate;

class CX_EXPORT CChecksumWarmUp {
public:
    explicit CChecksumWarmUp(EChecksum checksum);
    ~CChecksumWarmUp();
    CChecksumWarmUp(const CChecksumWarmUp&) = delete;
    CChecksumWarmUp& operator=(const CChecksumWarmUp&) = delete;

private:
    boost::shared_ptr<CChecksumWarmUpPrivate> d;
};

}  // namespace CX
