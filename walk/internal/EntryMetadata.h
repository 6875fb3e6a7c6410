// The metadata text of an entry: a list of attributes made from its status,
//   Type="file" Size="1234" MTime="2026-12-07T23:49:58.123456789Z"
//   CTime="2026-12-07T23:49:58.123456789Z" Mode="0644" Uid="0" Gid="0" Nlink="1" Inode="2049:131075"
// plus Rdev="..." for devices, Target="..." for links and Flags="ia" for the
// file flags that are set. What could not be read is marked
// Unreadable="<cause>". Values are escaped as CAttributeSet formats them, so
// that the text is what a set of these attributes formats to.
#pragma once

#include "EntryStatus.h"

#include <ctime>
#include <string>

namespace CX::walk {

// The word for the type of an entry, as in Type="...".
const char* TypeOf(mode_t mode);

void AppendUnsigned(std::string& out, unsigned long long value);
void AppendSigned(std::string& out, long long value);
// A time as 2026-12-07T23:49:58.123456789Z, in UTC, for the years 0 to
// 9999; any other time the kernel can hold as @<seconds>.<nanoseconds>, the
// seconds since 1970 in a decimal with nine places (@4611686018427387904.000000000).
// Distinct times never give the same text.
void AppendTime(std::string& out, const timespec& time);

// Appends the attributes that come from `status` (and `target`, the text of
// a link) to `out`.
void AppendAttributes(std::string& out, const EntryStatus& status, const std::string& target);

// The file flags set in `status`, as lsattr(1) names them: i immutable,
// a append only, d no dump, c compressed, E encrypted, x DAX, V verity.
std::string FlagLetters(const EntryStatus& status);

// Appends ' Unreadable="<cause>"': the entry is recorded, but what it holds
// (a folder's entries, a file's stat or content) is not known.
void AppendUnreadable(std::string& out, const char* cause);

}  // namespace CX::walk
