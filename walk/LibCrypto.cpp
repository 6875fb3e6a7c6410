#include "LibCrypto.h"

#include <openssl/opensslv.h>

#include <dlfcn.h>

#include <stdexcept>
#include <string>

namespace CX::walk {

namespace {

// The libcrypto the headers were built against: its ABI is that of its
// shared library version.
constexpr const char* kSoname = "libcrypto.so." OPENSSL_MSTR(OPENSSL_SHLIB_VERSION);

// What loading found: the calls, or why there are none.
struct Loaded {
    LibCrypto calls{};
    std::string failure;
};

template <typename Call>
void Bind(void* library, const char* name, Call& call, std::string& failure)
{
    call = reinterpret_cast<Call>(dlsym(library, name));
    if (call == nullptr && failure.empty())
        failure = std::string(kSoname) + " has no " + name + ", which digests need";
}

Loaded Load()
{
    Loaded loaded;
    // Never unloaded: OpenSSL keeps state that outlives any one digest.
    void* const library = dlopen(kSoname, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (library == nullptr) {
        const char* const why = dlerror();
        loaded.failure = std::string("cannot load ") + kSoname + ", which digests need" +
                         (why != nullptr ? ": " : "") + (why != nullptr ? why : "");
        return loaded;
    }
    LibCrypto& calls = loaded.calls;
    std::string& failure = loaded.failure;
    Bind(library, "EVP_MD_fetch", calls.mdFetch, failure);
    Bind(library, "EVP_MD_free", calls.mdFree, failure);
    Bind(library, "EVP_MD_CTX_new", calls.contextNew, failure);
    Bind(library, "EVP_MD_CTX_free", calls.contextFree, failure);
    Bind(library, "EVP_DigestInit_ex2", calls.digestInit, failure);
    Bind(library, "EVP_DigestUpdate", calls.digestUpdate, failure);
    Bind(library, "EVP_DigestFinal_ex", calls.digestFinal, failure);
    Bind(library, "EVP_Digest", calls.digest, failure);
    Bind(library, "EVP_sha256", calls.sha256, failure);
    return loaded;
}

}  // namespace

const LibCrypto& LibCrypto::Get()
{
    static const Loaded loaded = Load();  // once, whichever thread comes first
    if (!loaded.failure.empty())
        throw std::runtime_error(loaded.failure);
    return loaded.calls;
}

}  // namespace CX::walk
