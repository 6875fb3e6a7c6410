// One queued file write of the index database's insert queue.
#pragma once

#include "TimeStamp.h"

#include <cstdint>
#include <string>

namespace CX {

struct CInsertFileQueue {
    CInsertFileQueue(int64_t folderId, const std::string& fileName, const std::string& metadata, CTimeStamp recordTime)
        : folderId(folderId), fileName(fileName), metadata(metadata), recordTime(recordTime)
    {
    }

    int64_t folderId;
    std::string fileName;
    std::string metadata;
    CTimeStamp recordTime;
};

}  // namespace CX
