#include "EntryStatus.h"

#include <fcntl.h>
#include <sys/sysmacros.h>

namespace CX::walk {

namespace {

timespec TimeOf(const struct statx_timestamp& time)
{
    timespec out{};
    out.tv_sec = static_cast<time_t>(time.tv_sec);
    out.tv_nsec = static_cast<long>(time.tv_nsec);
    return out;
}

void Convert(const struct statx& from, EntryStatus& to)
{
    to.mode = from.stx_mode;
    to.size = from.stx_size;
    to.mtime = TimeOf(from.stx_mtime);
    to.ctime = TimeOf(from.stx_ctime);
    to.uid = from.stx_uid;
    to.gid = from.stx_gid;
    to.nlink = from.stx_nlink;
    to.device = makedev(from.stx_dev_major, from.stx_dev_minor);
    to.inode = static_cast<ino_t>(from.stx_ino);
    to.rdev = makedev(from.stx_rdev_major, from.stx_rdev_minor);
    to.attributes = from.stx_attributes;
    to.attributesMask = from.stx_attributes_mask;
}

// What a walk records; the kernel may give more, never less of these on the
// file systems Linux has.
constexpr unsigned kWanted = STATX_BASIC_STATS;

}  // namespace

bool StatAt(int directory, const char* name, EntryStatus& status)
{
    struct statx result {};
    if (statx(directory, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, kWanted, &result) != 0)
        return false;
    Convert(result, status);
    return true;
}

bool StatOpen(int fd, EntryStatus& status)
{
    struct statx result {};
    if (statx(fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, kWanted, &result) != 0)
        return false;
    Convert(result, status);
    return true;
}

}  // namespace CX::walk
