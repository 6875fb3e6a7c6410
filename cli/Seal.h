// Seals: a detached OpenSSH signature of a container's bytes, in NAME.sig
// beside the container NAME, in the namespace "cx-snapshot". Whoever can
// rewrite a baseline cannot make a seal that verifies without the signing
// key, and anyone can check one by hand:
//   ssh-keygen -Y verify -f ALLOWED_SIGNERS -I PRINCIPAL -n cx-snapshot -s NAME.sig < NAME
// The bytes are the whole file, so the seal covers the rows, the origin and
// the settings the snapshot records alike.
#pragma once

#include "FileIdentity.h"

#include <string>

namespace cxcli {

extern const char* const kSealNamespace;

// The seal of `container`: "NAME.sig" beside the file it names (beside the
// file a symbolic link in its place leads to, as cx index writes there).
std::string SealPath(const std::string& container);

// A seal written to a temporary file beside where it goes; removed when it
// goes out of scope unless it was put in place.
class PendingSeal {
public:
    PendingSeal() = default;
    ~PendingSeal();
    PendingSeal(const PendingSeal&) = delete;
    PendingSeal& operator=(const PendingSeal&) = delete;

    // Renames it over the seal and writes the folder to disk; prints the cause
    // and answers false when it cannot.
    bool Place();

private:
    friend bool SignFile(int, const std::string&, const std::string&, std::string&, PendingSeal&);
    std::string temporary_;
    int handle_ = -1;  // removed by a second Ctrl-C
    std::string target_;
    std::string folder_;
    bool placed_ = false;
};

// Signs the bytes of `bytes` (read from its start) with `key`, what
// ssh-keygen -Y sign -f takes (a private key, or a public key whose private
// half ssh-agent holds), into `seal`: a temporary file beside the seal of
// `container`, on disk and readable by whoever can read the container.
// False, with the cause in `problem` for a line naming `container`, when it
// cannot.
bool SignFile(int bytes, const std::string& container, const std::string& key, std::string& problem,
              PendingSeal& seal);
// The same for the bytes of the file `file`.
bool SignFile(const std::string& file, const std::string& container, const std::string& key, std::string& problem,
              PendingSeal& seal);

// Whether `container` has a seal that verifies against the allowed signers
// file `signers`, by a principal it lists for the key that made the seal.
// The bytes ssh-keygen checks come from one descriptor opened here, and
// `verified` is the file's identity while they were read. Otherwise prints
// one line naming the container and why (no seal, a seal that does not
// verify, a key `signers` does not list) and answers false.
bool VerifySeal(const std::string& container, const std::string& signers, FileIdentity& verified);

}  // namespace cxcli
