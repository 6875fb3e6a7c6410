// cx diff: what changed between two snapshots, in tree order; also the
// report of cx check, which compares the tree with a snapshot.
#pragma once

#include <string>
#include <vector>

namespace cxcli {

struct DiffOptions {
    std::string oldContainer;
    std::string newContainer;
    std::vector<std::string> paths;    // report only these subtrees (as AbsolutePath makes them)
    std::vector<std::string> ignored;  // attribute names left out of the comparison
    bool folderMTime = false;          // compare the folders' modification times too
    bool renames = true;               // report moves as such
    bool json = false;
    bool stat = false;
    bool recurseDeleted = true;
    long checkPeriod = 0;  // steps between progress marks and abort checks; 0 keeps the library's
    bool relative = false;  // compare by the paths below each snapshot's origin
    bool copy = false;      // the new side is another folder's tree: no ctime or inode is compared
    std::string newLabel;   // what messages call the current side; empty: its file name
};

int RunDiff(const DiffOptions& options);
// The same, with the current snapshot's rows moved below the previous one's
// origin first: a copy of a tree compared with its original.
int RunRelativeDiff(const DiffOptions& options);

}  // namespace cxcli
