#include "FileSystems.h"

#include "Hex.h"

#include <sys/ioctl.h>

#include <algorithm>

namespace CX::walk {

namespace {

// FS_IOC_GETFSUUID (Linux 6.5), spelled out for older headers.
struct FsUuid {
    uint8_t length;
    uint8_t uuid[16];
};
constexpr unsigned long kGetFsUuid = _IOR(0x15, 0, FsUuid);

}  // namespace

std::string FileSystemIdentity(int fd)
{
    FsUuid uuid{};
    if (ioctl(fd, kGetFsUuid, &uuid) != 0 || uuid.length == 0 || uuid.length > sizeof uuid.uuid)
        return std::string();
    // A file system made without one answers zeros: it has none.
    if (std::all_of(uuid.uuid, uuid.uuid + uuid.length, [](uint8_t byte) { return byte == 0; }))
        return std::string();
    std::string identity = "uuid:";
    FX::AppendHex(identity, uuid.uuid, uuid.length);
    return identity;
}

void FileSystems::Note(dev_t device, int fd)
{
    if (last_.load(std::memory_order_relaxed) == device)
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (identities_.count(device) == 0)
            identities_.emplace(device, FileSystemIdentity(fd));
    }
    last_.store(device, std::memory_order_relaxed);
}

std::string FileSystems::IdentityOf(dev_t device) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = identities_.find(device);
    return found == identities_.end() ? std::string() : found->second;
}

std::vector<std::pair<uint64_t, std::string>> FileSystems::Identities() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::pair<uint64_t, std::string>> identities;
    for (const auto& [device, identity] : identities_)
        if (!identity.empty())
            identities.emplace_back(static_cast<uint64_t>(device), identity);
    return identities;
}

}  // namespace CX::walk
