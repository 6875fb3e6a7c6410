// OpenSSL's libcrypto, loaded when the first digest needs it.
//
// Linked the usual way, libcrypto would be loaded and bound (its thousands
// of symbols, all at once: it is built to bind them as it loads) by every
// process that uses the library, about 0.65 ms of each start, although most
// runs take no digest. Loaded here instead, by the thread that first needs
// it: the one that makes the warm-up (ChecksumWarmUp.h), before the rest of
// the set-up goes to a thread of its own.
#pragma once

#include <openssl/evp.h>

namespace CX::walk {

// The libcrypto calls the library makes.
struct LibCrypto {
    decltype(&EVP_MD_fetch) mdFetch;
    decltype(&EVP_MD_free) mdFree;
    decltype(&EVP_MD_CTX_new) contextNew;
    decltype(&EVP_MD_CTX_free) contextFree;
    decltype(&EVP_DigestInit_ex2) digestInit;
    decltype(&EVP_DigestUpdate) digestUpdate;
    decltype(&EVP_DigestFinal_ex) digestFinal;
    decltype(&EVP_Digest) digest;
    decltype(&EVP_sha256) sha256;

    // Loads libcrypto the first time any thread asks, and keeps it. Throws
    // std::runtime_error, saying why, when it cannot be loaded or lacks one
    // of the calls; every later call throws the same.
    static const LibCrypto& Get();
};

}  // namespace CX::walk
