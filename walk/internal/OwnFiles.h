// The container's own files, which a walk of a tree that holds them leaves out.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace CX::walk {

// The container being written, when it lies inside the tree, is no part of
// the snapshot: neither its file nor the files beside it that belong to it.
// They are known by the identity of their folder and their names, so that
// whatever path leads to them (links, "..") they are left out.
class OwnFiles {
public:
    OwnFiles(dev_t folderDevice, ino_t folderInode, std::vector<std::string> names)
        : device_(folderDevice), inode_(folderInode), names_(std::move(names))
    {
    }
    bool IsOwnFolder(dev_t folderDevice, ino_t folderInode) const
    {
        return folderDevice == device_ && folderInode == inode_;
    }
    bool IsOwn(dev_t folderDevice, ino_t folderInode, const char* name) const
    {
        return IsOwnFolder(folderDevice, folderInode) && std::find(names_.begin(), names_.end(), name) != names_.end();
    }

private:
    dev_t device_;
    ino_t inode_;
    std::vector<std::string> names_;
};

}  // namespace CX::walk
