// CX::CCompareTreeWithContainer: compares a directory tree as it is now with
// a container (a snapshot of it, or of the tree it is a copy of) while it
// walks the tree, without writing the walk anywhere, and reports every folder
// and file through the comparison's callback: index 1 is the container, index
// 2 the tree. The events, their order and the callback's contract are those
// of CCompareContentContainers, as if the tree had been indexed into a second
// container with the same settings and the two compared.
//
// The tree is walked as CTreeIndexer walks it (on threads of its own, with
// the settings given, the container's own files left out when it lies inside
// the tree) while the calling thread reads the container's listings and
// calls the callback. Memory does not grow with the tree; a folder too large
// for one listing of the walk is held whole while its files are compared.
//
// The folders above the tree's root are taken to be what the indexer
// records for them (Type="ancestor"). With a reported root, the tree's
// entries are reported under that folder instead of their own: a copy of a
// tree compared with a snapshot of the original, by the paths below each.
//
// Configuration as for CCompareContentContainers ("AbortCheckPeriod::CCC",
// "RecurseDeletedFolders::CCC"). Errors: those of the walk as
// CTreeIndexer::Index answers them, a container that cannot be read, a
// callback's error other than 50, and 995 (ERROR_OPERATION_ABORTED) when the
// callback's IsAborted or the walk callback's IsAborted answers true. The
// walk's exceptions pass out as CTreeIndexer::Index says.
#pragma once

#include "Bag.h"
#include "CompareContentContainersCallback.h"
#include "Export.h"
#include "IndexSettings.h"
#include "KoError.h"
#include "TreeIndexer.h"

#include <boost/shared_ptr.hpp>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace CX {

class CCompareTreeWithContainerPrivate;

class CX_EXPORT CCompareTreeWithContainer {
public:
    CCompareTreeWithContainer(const string& containerName, const string& directory,
                              const CCompareContentContainersCallbackPtr& callback);
    ~CCompareTreeWithContainer();

    // How to walk the tree: as the container's snapshot was taken
    // (ReadIndexSettings), or otherwise.
    void SetSettings(const SIndexSettings& settings);
    // The folder (an absolute path ending with "/") under which the tree's
    // entries are reported; empty: the tree's own real path.
    void SetReportedRoot(const string& root);
    // Entries of one folder, named by its device and inode, left out of the walk.
    void SetOwnFiles(uint64_t folderDevice, uint64_t folderInode, const std::vector<std::string>& names);
    // Progress, warnings and cancel of the walk; null: none.
    void SetWalkCallback(const CTreeIndexerCallbackPtr& callback);
    // Shares the bag; it is read at the start of each run. Null removes it.
    CKoError SetConfigurationBag(const boost::shared_ptr<CBag>& bag);

    // One comparison. `counts` says what the walk found (folders and files
    // of the tree, warnings, problems), however the run ends.
    CKoError Compare(STreeIndexerCounts& counts);
    // The file systems the last walk passed through, with their identities
    // where they have one, as SRecordedAttributes holds a snapshot's.
    const std::vector<std::pair<uint64_t, std::string>>& FileSystems() const;

private:
    boost::shared_ptr<CCompareTreeWithContainerPrivate> d;
};

}  // namespace CX
