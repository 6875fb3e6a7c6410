// The metadata text of an entry, made fast: every entry of a tree goes
// through here, so the numbers and times are written without the C library's
// formatting.
#include "EntryMetadata.h"

#include "AttributeSet.h"

#include <cstdint>

namespace CX::walk {

const char* TypeOf(mode_t mode)
{
    if (S_ISREG(mode)) return "file";
    if (S_ISDIR(mode)) return "dir";
    if (S_ISLNK(mode)) return "link";
    if (S_ISFIFO(mode)) return "fifo";
    if (S_ISSOCK(mode)) return "socket";
    if (S_ISCHR(mode)) return "chardev";
    if (S_ISBLK(mode)) return "blockdev";
    return "other";
}

void AppendUnsigned(std::string& out, unsigned long long value)
{
    char digits[24];
    char* const end = digits + sizeof digits;
    char* p = end;
    do {
        *--p = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    out.append(p, static_cast<size_t>(end - p));
}

void AppendSigned(std::string& out, long long value)
{
    if (value < 0) {
        out += '-';
        AppendUnsigned(out, 0ULL - static_cast<unsigned long long>(value));
    } else {
        AppendUnsigned(out, static_cast<unsigned long long>(value));
    }
}

namespace {

void PutDigits(char* at, unsigned long long value, int width)
{
    for (int i = width - 1; i >= 0; --i) {
        at[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

// A time outside the years 0 to 9999: "@" and the seconds since 1970 as a
// decimal with nine places, exact whatever the kernel holds. A time before
// 1970 with a fraction, such as tv_sec -2 and tv_nsec 250000000, is
// @-1.750000000.
void AppendRawTime(std::string& out, const timespec& time)
{
    long long seconds = time.tv_sec + time.tv_nsec / 1000000000;
    long long nanoseconds = time.tv_nsec % 1000000000;
    if (nanoseconds < 0) {
        nanoseconds += 1000000000;
        --seconds;
    }
    out += '@';
    if (seconds < 0 && nanoseconds != 0) {
        out += '-';
        AppendUnsigned(out, 0ULL - static_cast<unsigned long long>(seconds) - 1);
        nanoseconds = 1000000000 - nanoseconds;
    } else {
        AppendSigned(out, seconds);
    }
    char fraction[10];
    fraction[0] = '.';
    PutDigits(fraction + 1, static_cast<unsigned long long>(nanoseconds), 9);
    out.append(fraction, sizeof fraction);
}

}  // namespace

// The years 0 to 9999 as ISO text, computed rather than through gmtime_r and
// snprintf, which every entry would pay for.
void AppendTime(std::string& out, const timespec& time)
{
    const long long seconds = time.tv_sec;
    long long days = seconds / 86400;
    long long secondOfDay = seconds % 86400;
    if (secondOfDay < 0) {
        secondOfDay += 86400;
        --days;
    }
    // The civil date of a day count from 1970-01-01, proleptic Gregorian, in
    // 400-year eras that start on March 1st.
    const long long z = days + 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long dayOfEra = z - era * 146097;
    const long long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const long long monthFromMarch = (5 * dayOfYear + 2) / 153;
    const long long day = dayOfYear - (153 * monthFromMarch + 2) / 5 + 1;
    const long long month = monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9;
    const long long year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    if (year < 0 || year > 9999 || time.tv_nsec < 0 || time.tv_nsec > 999999999) {
        AppendRawTime(out, time);
        return;
    }
    char text[30];  // 2026-12-07T23:49:58.123456789Z
    PutDigits(text, static_cast<unsigned long long>(year), 4);
    text[4] = '-';
    PutDigits(text + 5, static_cast<unsigned long long>(month), 2);
    text[7] = '-';
    PutDigits(text + 8, static_cast<unsigned long long>(day), 2);
    text[10] = 'T';
    PutDigits(text + 11, static_cast<unsigned long long>(secondOfDay / 3600), 2);
    text[13] = ':';
    PutDigits(text + 14, static_cast<unsigned long long>(secondOfDay / 60 % 60), 2);
    text[16] = ':';
    PutDigits(text + 17, static_cast<unsigned long long>(secondOfDay % 60), 2);
    text[19] = '.';
    PutDigits(text + 20, static_cast<unsigned long long>(time.tv_nsec), 9);
    text[29] = 'Z';
    out.append(text, sizeof text);
}

std::string FlagLetters(const EntryStatus& status)
{
    static const struct {
        uint64_t bit;
        char letter;
    } kFlags[] = {
        {STATX_ATTR_IMMUTABLE, 'i'},  {STATX_ATTR_APPEND, 'a'}, {STATX_ATTR_NODUMP, 'd'},
        {STATX_ATTR_COMPRESSED, 'c'}, {STATX_ATTR_ENCRYPTED, 'E'}, {STATX_ATTR_DAX, 'x'},
        {STATX_ATTR_VERITY, 'V'},
    };
    std::string letters;
    const uint64_t set = status.attributes & status.attributesMask;
    for (const auto& flag : kFlags)
        if ((set & flag.bit) != 0)
            letters += flag.letter;
    return letters;
}

void AppendAttributes(std::string& out, const EntryStatus& status, const std::string& target)
{
    out += "Type=\"";
    out += TypeOf(status.mode);
    out += '"';
    const bool folder = status.IsFolder();
    if (!folder) {
        out += " Size=\"";
        AppendUnsigned(out, status.size);
        out += '"';
    }
    out += " MTime=\"";
    AppendTime(out, status.mtime);
    out += "\" CTime=\"";
    AppendTime(out, status.ctime);
    out += "\" Mode=\"";
    const unsigned mode = static_cast<unsigned>(status.mode & 07777);
    const char octal[4] = {static_cast<char>('0' + (mode >> 9 & 7)), static_cast<char>('0' + (mode >> 6 & 7)),
                           static_cast<char>('0' + (mode >> 3 & 7)), static_cast<char>('0' + (mode & 7))};
    out.append(octal, 4);
    out += "\" Uid=\"";
    AppendUnsigned(out, status.uid);
    out += "\" Gid=\"";
    AppendUnsigned(out, status.gid);
    // A folder's count of links is its count of subfolders, which the report
    // already shows; a file's tells of hard links made or removed.
    if (!folder) {
        out += "\" Nlink=\"";
        AppendUnsigned(out, status.nlink);
    }
    // The entry's identity, by which a comparison knows a moved entry.
    out += "\" Inode=\"";
    AppendUnsigned(out, static_cast<unsigned long long>(status.device));
    out += ':';
    AppendUnsigned(out, static_cast<unsigned long long>(status.inode));
    out += '"';
    if (S_ISCHR(status.mode) || S_ISBLK(status.mode)) {
        out += " Rdev=\"";
        AppendUnsigned(out, static_cast<unsigned long long>(status.rdev));
        out += '"';
    }
    if (status.IsLink()) {
        out += " Target=\"";
        CAttributeSet::AppendEscaped(out, target);
        out += '"';
    }
    if ((status.attributes & status.attributesMask) != 0) {
        const std::string letters = FlagLetters(status);
        if (!letters.empty()) {
            out += " Flags=\"";
            out += letters;
            out += '"';
        }
    }
}

void AppendUnreadable(std::string& out, const char* cause)
{
    out += " Unreadable=\"";
    CAttributeSet::AppendEscaped(out, cause);
    out += '"';
}

}  // namespace CX::walk
