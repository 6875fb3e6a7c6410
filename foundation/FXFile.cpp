#include "FXFile.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

bool FXFile::DoesFileExist(const std::string& path)
{
    struct stat status {};
    return lstat(path.c_str(), &status) == 0;
}

CKoError FXFile::RemoveFile(const std::string& path)
{
    if (unlink(path.c_str()) != 0)
        return FXErrorUtil::ErrorErrno(FX_LOCATION, errno, "FileName=[%s]", path.c_str());
    return CKoError::Success();
}
