#include "ExtendedAttributes.h"

#include "AttributeSet.h"
#include "FileDigest.h"
#include "Hex.h"

#include <acl/libacl.h>
#include <sys/acl.h>
#include <sys/capability.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>

namespace CX::walk {

namespace {

// listxattrat(2) and getxattrat(2) (Linux 6.13) read an entry's attributes
// by folder and name, as fstatat reads its status; an older kernel takes
// them through the folder's /proc/self/fd link instead.
#ifndef SYS_getxattrat
#define SYS_getxattrat 464
#endif
#ifndef SYS_listxattrat
#define SYS_listxattrat 465
#endif

struct XattrArgs {
    uint64_t value;
    uint32_t size;
    uint32_t flags;
};

std::atomic<bool> g_noAtCalls{false};

constexpr size_t kLongValue = 256;

bool Unsupported(int error) { return error == ENOTSUP || error == EOPNOTSUPP; }

struct FreeAcl {
    void operator()(void* object) const { acl_free(object); }
};

// Runs `call` with a buffer that grows until the answer fits.
template <class Call>
ssize_t Fill(std::vector<char>& buffer, Call call)
{
    if (buffer.empty())
        buffer.resize(4096);
    for (;;) {
        const ssize_t got = call(buffer.data(), buffer.size());
        if (got >= 0 || errno != ERANGE || buffer.size() >= (1u << 24))
            return got;
        buffer.resize(buffer.size() * 4);
    }
}

}  // namespace

std::string XattrKey(std::string_view name)
{
    std::string key = "Xattr.";
    for (const char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                           std::strchr("._@+:-", c) != nullptr;
        if (plain && c != 0) {
            key += ch;
        } else {
            key += '%';
            key += FX::kHexUpper[c >> 4];
            key += FX::kHexUpper[c & 15];
        }
    }
    return key;
}

const char* ExtendedAttributes::PathOf(int directory, const char* name)
{
    if (directory == AT_FDCWD)
        return name;
    procPath_ = "/proc/self/fd/" + std::to_string(directory) + "/" + name;
    return procPath_.c_str();
}

ssize_t ExtendedAttributes::List(int directory, const char* name)
{
    if (!g_noAtCalls.load(std::memory_order_relaxed)) {
        const ssize_t got = Fill(names_, [&](char* buffer, size_t size) {
            return static_cast<ssize_t>(syscall(SYS_listxattrat, directory, name, AT_SYMLINK_NOFOLLOW, buffer, size));
        });
        if (got >= 0 || errno != ENOSYS)
            return got;
        g_noAtCalls.store(true);
    }
    const char* path = PathOf(directory, name);
    return Fill(names_, [&](char* buffer, size_t size) { return llistxattr(path, buffer, size); });
}

ssize_t ExtendedAttributes::Get(int directory, const char* name, const char* attribute)
{
    if (!g_noAtCalls.load(std::memory_order_relaxed)) {
        const ssize_t got = Fill(value_, [&](char* buffer, size_t size) {
            XattrArgs args{reinterpret_cast<uintptr_t>(buffer), static_cast<uint32_t>(size), 0};
            return static_cast<ssize_t>(
                syscall(SYS_getxattrat, directory, name, AT_SYMLINK_NOFOLLOW, attribute, &args, sizeof args));
        });
        if (got >= 0 || errno != ENOSYS)
            return got;
        g_noAtCalls.store(true);
    }
    const char* path = PathOf(directory, name);
    return Fill(value_, [&](char* buffer, size_t size) { return lgetxattr(path, attribute, buffer, size); });
}

int ExtendedAttributes::Read(int directory, const char* name, const std::string& attribute, std::string& key)
{
    text_.clear();
    errno = 0;
    if (attribute == "security.capability") {
        key = "Caps";
        const cap_t caps = cap_get_file(PathOf(directory, name));
        if (caps == nullptr)
            return errno != 0 ? errno : EINVAL;
        char* text = cap_to_text(caps, nullptr);
        const int error = errno;
        if (text != nullptr)
            text_ = text;
        cap_free(text);
        cap_free(caps);
        return text != nullptr ? 0 : error != 0 ? error : EINVAL;
    }
    if (attribute == "system.posix_acl_access" || attribute == "system.posix_acl_default") {
        const bool access = attribute == "system.posix_acl_access";
        key = access ? "ACL" : "DefaultACL";
        const std::unique_ptr<void, FreeAcl> acl(
            acl_get_file(PathOf(directory, name), access ? ACL_TYPE_ACCESS : ACL_TYPE_DEFAULT));
        const std::unique_ptr<char, FreeAcl> text(
            acl ? acl_to_any_text(static_cast<acl_t>(acl.get()), nullptr, ',', TEXT_ABBREVIATE | TEXT_NUMERIC_IDS) : nullptr);
        if (!text)
            return errno != 0 ? errno : EINVAL;
        text_ = text.get();
        return 0;
    }
    const ssize_t got = Get(directory, name, attribute.c_str());
    if (got < 0)
        return errno;
    std::string_view value(value_.data(), static_cast<size_t>(got));
    if (attribute == "security.selinux") {
        key = "SELinux";
        while (!value.empty() && value.back() == '\0')
            value.remove_suffix(1);
        text_ = value;
        return 0;
    }
    key = XattrKey(attribute);
    text_ = value.size() > kLongValue ? "sha256:" + Sha256Hex(value) : std::string(value);
    return 0;
}

ExtendedAttributes::Result ExtendedAttributes::Append(int directory, const char* name, std::string& out,
                                                      std::string& problem)
{
    const ssize_t listed = List(directory, name);
    if (listed < 0) {
        if (Unsupported(errno))
            return Result::kDone;  // a file system without them
        if (errno == ENOENT)
            return Result::kVanished;
        problem = std::string("cannot list extended attributes: ") + std::strerror(errno);
        return Result::kFailed;
    }
    if (listed == 0)
        return Result::kDone;
    sorted_.clear();
    for (size_t start = 0; start < static_cast<size_t>(listed);) {
        const size_t length = strnlen(names_.data() + start, static_cast<size_t>(listed) - start);
        if (length > 0)
            sorted_.emplace_back(names_.data() + start, length);
        start += length + 1;
    }
    std::sort(sorted_.begin(), sorted_.end());

    for (const std::string_view attribute : sorted_) {
        const std::string attributeName(attribute);
        std::string key;
        const int error = Read(directory, name, attributeName, key);
        if (error == ENODATA)
            continue;  // removed since it was listed
        if (error == ENOENT)
            return Result::kVanished;
        if (error != 0) {
            problem = "cannot read extended attribute " + attributeName + ": " + std::strerror(error);
            return Result::kFailed;
        }
        out += ' ';
        out += key;
        out += "=\"";
        CAttributeSet::AppendEscaped(out, text_);
        out += '"';
    }
    return Result::kDone;
}

}  // namespace CX::walk
