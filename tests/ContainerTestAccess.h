// Reaches the open database of a container, for what the container itself
// does not offer (queuing files, reading the storage table, breaking writes).
#pragma once

#include "ContentContainer.h"
#include "ContentContainerDatabase.h"
#include "ContentContainerPrivate.h"

namespace CX {
class CContentContainerTestAccess {
public:
    static CContentContainerDatabasePtr Database(CContentContainer& container) { return container.d->database; }
};
}  // namespace CX
