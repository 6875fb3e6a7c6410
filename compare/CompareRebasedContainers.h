// CX::CCompareRebasedContainers: compares two containers by the paths below
// a folder of each (say, a snapshot of a backup with one of the original:
// "/mnt/backup/data/" in the current one against "/srv/data/" in the
// previous one) and reports through the comparison's callback: index 1 is
// the previous container, index 2 the current one. The current container's
// rows below its folder are reported under the previous one's folder, and its
// other rows are left out; the folders above the previous one's folder are
// taken to be what the indexer records for them (Type="ancestor").
//
// Events, order, configuration and errors as for CCompareContentContainers;
// both containers are only read. Memory does not grow with the containers.
#pragma once

#include "Bag.h"
#include "CompareContentContainersCallback.h"
#include "Export.h"
#include "KoError.h"

#include <boost/shared_ptr.hpp>

namespace CX {

class CCompareRebasedContainersPrivate;

class CX_EXPORT CCompareRebasedContainers {
public:
    // The roots are absolute folder paths ending with "/".
    CCompareRebasedContainers(const string& currentDatabaseName, const string& currentRoot,
                              const string& previousDatabaseName, const string& previousRoot,
                              const CCompareContentContainersCallbackPtr& callback);
    ~CCompareRebasedContainers();

    // Shares the bag; it is read at the start of each run. Null removes it.
    CKoError SetConfigurationBag(const boost::shared_ptr<CBag>& bag);
    CKoError CompareDatabases();

private:
    boost::shared_ptr<CCompareRebasedContainersPrivate> d;
};

}  // namespace CX
