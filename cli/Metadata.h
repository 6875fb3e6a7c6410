// The metadata text of an entry: a list of attributes made from its stat,
//   Type="file" Size="1234" MTime="2026-12-07T23:49:58.123456789Z" Mode="0644" Uid="0" Gid="0" Inode="2049:131"
// plus Rdev="..." for devices and Target="..." for links. Inode is the
// device and inode number: what tells a file moved from a file replaced.
#pragma once

#include <sys/stat.h>

#include <ctime>
#include <string>

namespace cxcli {

// The word for the type of an entry, as in Type="...".
const char* TypeOf(mode_t mode);

void AppendUnsigned(std::string& out, unsigned long long value);
void AppendSigned(std::string& out, long long value);
// A time as 2026-12-07T23:49:58.123456789Z, in UTC.
void AppendTime(std::string& out, const timespec& time);

// Appends the attributes that come from `status` (and `target`, the text of
// a link) to `out`.
void AppendAttributes(std::string& out, const struct stat& status, const std::string& target);

}  // namespace cxcli
