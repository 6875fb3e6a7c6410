// CX::COwnThreadContainers: containers that one thread has to itself.
//
// While an object of this class lives on a thread, every
// CContentContainerDatabase that thread constructs is that thread's own: its
// SQLite connection is opened without SQLite's mutex, which otherwise every
// call through it takes and releases (about 4% of the time of cx index of a
// million files). Such a container must never be used by two threads
// at the same time, queue and folder lookups included; one that is handed
// from thread to thread, one call at a time, is fine. The comparisons and
// the review open their containers this way of their own accord.
//
// Make and destroy it on the same thread; scopes nest.
#pragma once

#include "Export.h"

#include <boost/shared_ptr.hpp>

namespace CX {

class COwnThreadContainersPrivate;

class CX_EXPORT COwnThreadContainers {
public:
    COwnThreadContainers();
    ~COwnThreadContainers();
    COwnThreadContainers(const COwnThreadContainers&) = delete;
    COwnThreadContainers& operator=(const COwnThreadContainers&) = delete;

private:
    boost::shared_ptr<COwnThreadContainersPrivate> d;
};

}  // namespace CX
