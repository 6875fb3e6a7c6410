// Where a snapshot keeps the identities of the file systems its entries'
// device numbers stand for ("FileSystems": one "DEVICE IDENTITY" line each),
// which ReadRecordedAttributes reads back.
#pragma once

#include "ContentContainerDatabase.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace CX {

CKoError RecordFileSystems(CContentContainerDatabase& db,
                           const std::vector<std::pair<uint64_t, std::string>>& fileSystems);

}  // namespace CX
