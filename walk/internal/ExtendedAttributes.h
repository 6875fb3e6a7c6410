// The extended attributes of an entry, as a walk records them: every one
// the caller can read, in every namespace, those that guard security in
// readable form:
//   Caps="cap_setuid=ep"          security.capability, as getcap prints it
//   ACL="u::rw-,u:1000:r--,..."   system.posix_acl_access, in short text with
//                                 numeric ids (getfacl -cn)
//   DefaultACL="..."              system.posix_acl_default (folders)
//   SELinux="system_u:..."        security.selinux
//   Xattr.user.note="1"           any other by its name: its value, or
//                                 "sha256:<hex>" for one longer than 256 bytes
// Names are sorted, so that the text only changes when they do. A byte of a
// name that a key cannot hold (anything but letters, digits and ._@+:-) is
// written %XX. Listing the names costs one system call per entry; values are
// read only where there are some.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace CX::walk {

class ExtendedAttributes {
public:
    enum class Result { kDone, kVanished, kFailed };

    // Appends the attributes of `name` in the open folder `directory` (or of
    // the path `name`, with AT_FDCWD) to `out`, each after a space. kFailed
    // with `problem` saying what could not be read (nothing is appended for
    // what was not read).
    Result Append(int directory, const char* name, std::string& out, std::string& problem);

private:
    // Reads one attribute into `key` and text_: 0, or the errno of the
    // failure (ENODATA: it is gone).
    int Read(int directory, const char* name, const std::string& attribute, std::string& key);
    ssize_t List(int directory, const char* name);
    ssize_t Get(int directory, const char* name, const char* attribute);
    // A path to the entry, for the libraries that take a path only.
    const char* PathOf(int directory, const char* name);

    std::vector<char> names_;
    std::vector<char> value_;
    std::vector<std::string_view> sorted_;
    std::string procPath_;
    std::string text_;
};

// The key an extended attribute other than the four above is recorded
// under ("Xattr.user.note").
std::string XattrKey(std::string_view name);

}  // namespace CX::walk
