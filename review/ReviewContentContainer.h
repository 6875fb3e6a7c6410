// CX::CReviewContentContainer: read-only walks over one content container that
// report folders missing from its index.
//
// CheckAncestors reports every ancestor path of a recorded folder that the
// Folders table lacks. CheckCollectAncestors looks only at the folders that
// hold a file whose metadata contains Collect="true": it reports their
// ancestors that are not themselves such folders, then each such folder whose
// own metadata lacks the mark. Each walk is one pass in folder order, reports
// every path once, outermost first, and polls the callback's IsAborted() every
// "AbortCheckPeriod::RCC" rows (default 100). The container is opened
// read-only for the walk and never written.
//
// One walk at a time per object; walks run on the caller's thread.
#pragma once

#include "Bag.h"
#include "Export.h"
#include "KoError.h"
#include "ReviewContentContainerAncestorCallback.h"

#include <boost/shared_ptr.hpp>

#include <string>

// The configuration keys the review reads from its bag.
struct CX_EXPORT SXReviewContentContainerBagId {
    // long: rows between two IsAborted() calls; below 1 means 100.
    static const std::string idAbortCheckPeriod;
};

namespace CX {

class CReviewContentContainerPrivate;

class CX_EXPORT CReviewContentContainer {
public:
    // `databaseName` is the container file; nothing is opened until a walk runs.
    explicit CReviewContentContainer(const string& databaseName);
    ~CReviewContentContainer();

    // Read at the start of every walk; null removes the bag.
    CKoError SetConfigurationBag(const boost::shared_ptr<CBag>& bag);

    // A null callback is allowed: the walk then only verifies that the
    // container can be read.
    CKoError CheckAncestors(const CReviewContentContainerAncestorCallbackPtr& callback);
    CKoError CheckCollectAncestors(const CReviewContentContainerAncestorCallbackPtr& callback);

private:
    boost::shared_ptr<CReviewContentContainerPrivate> d;
};

}  // namespace CX
