// The file systems a walk passes through, each by an identity that outlives
// its device number: two successive mounts of a memory file system get the
// same device number and hand out the same inode numbers, so an entry's
// device and inode alone cannot tell a file moved from an unrelated one.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace CX::walk {

// "uuid:<32 hex digits>" for the file system the open folder `fd` lies on,
// where it has a UUID (FS_IOC_GETFSUUID); empty where it has none, and then
// its device number is all there is.
std::string FileSystemIdentity(int fd);

class FileSystems {
public:
    // Notes the file system of the open folder `fd`, whose device is `device`.
    // Called by the walk's threads, for every folder.
    void Note(dev_t device, int fd);
    // The identity of a device noted before; empty for none.
    std::string IdentityOf(dev_t device) const;
    // Device numbers with their identities, those that have one.
    std::vector<std::pair<uint64_t, std::string>> Identities() const;

private:
    mutable std::mutex mutex_;
    std::map<dev_t, std::string> identities_;
    std::atomic<dev_t> last_{static_cast<dev_t>(-1)};  // most folders share their parent's
};

}  // namespace CX::walk
