// cx diff: what changed between two snapshots, in tree order; also the
// report of cx check, which compares the tree with a snapshot.
#pragma once

#include "FileIdentity.h"
#include "PathPolicy.h"

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
    bool collapse = false;  // a one-sided folder as one line, without what is below it
    bool quiet = false;     // no report on standard output: the exit status says it
    bool syslog = false;    // each change and a summary to syslog too
    long checkPeriod = 0;  // steps between progress marks and abort checks; 0 keeps the library's
    bool relative = false;  // compare by the paths below each snapshot's origin
    // The new side is another folder's tree, its entries standing under the
    // old side's origin: no ctime or inode is compared, and lines name the
    // entries by their paths below the two roots (oldRoot, newRoot: absolute,
    // ending with "/").
    bool copy = false;
    std::string oldRoot;
    std::string newRoot;
    // What the baseline's policy leaves out of the comparison, path by path.
    CX::CPathPolicy policy;
    // The containers' identities when their seals were verified (--verify),
    // which they must keep while they are read; null: not sealed.
    const FileIdentity* sealedOld = nullptr;
    const FileIdentity* sealedNew = nullptr;
};

int RunDiff(const DiffOptions& options);
// The same, with the current snapshot's rows moved below the previous one's
// origin first: a copy of a tree compared with its original.
int RunRelativeDiff(const DiffOptions& options);

}  // namespace cxcli
