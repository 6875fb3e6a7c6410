// File system helpers.
#pragma once

#include "Export.h"
#include "KoError.h"

#include <string>

class CX_EXPORT FXFile {
public:
    // True when something exists under the name (any kind of file).
    static bool DoesFileExist(const std::string& path);
    // Removes the file; a missing file is error 2.
    static CKoError RemoveFile(const std::string& path);
};
