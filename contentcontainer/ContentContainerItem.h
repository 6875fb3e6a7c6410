// CX::CContentContainerItem: one folder or file of a container as a host
// passes it between its own components. The library neither fills nor reads
// it; ids are -1 while unknown.
#pragma once

#include "Export.h"
#include "KoXDocument.h"

#include <cstdint>
#include <string>

namespace CX {

class CX_EXPORT CContentContainerItem {
public:
    bool isFolder = false;
    std::string containerName;
    std::string folderName;
    std::string fileName;
    int64_t folderId = -1;
    std::string folderMetadata;
    CKoXDocumentPtr folderDocument;
    int64_t fileId = -1;
    std::string fileMetadata;
    CKoXDocumentPtr fileDocument;
};

}  // namespace CX
