#include "WalkSetup.h"

#include "ExcludeRulesPrivate.h"
#include "FXPath.h"
#include "ResolveFolder.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace CX::walk {

CKoError PrepareWalk(const std::string& directory, const SIndexSettings& settings, PreparedWalk& walk)
{
    struct stat status {};
    const int failure = FX::ResolveFolder(directory, walk.resolved, status);
    if (failure == ENOTDIR)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_PARAMETER, "%s: not a directory",
                                       walk.resolved.empty() ? directory.c_str() : walk.resolved.c_str());
    if (failure != 0)
        return FXErrorUtil::ErrorErrno(FX_LOCATION, failure, "%s", directory.c_str());
    walk.root = walk.resolved;
    FXPath::AppendTrailingDelimiter(walk.root);
    if (!StatAt(AT_FDCWD, walk.resolved.c_str(), walk.rootStatus))
        return FXErrorUtil::ErrorErrno(FX_LOCATION, errno, "%s", walk.resolved.c_str());
    walk.options.excludes = CExcludeRulesPrivate::Of(settings.excludes);
    walk.options.root = walk.root;  // what the exclude rules' paths are relative to
    walk.options.collects = settings.collects;
    walk.options.checksum = settings.checksum;
    walk.options.oneFileSystem = settings.oneFileSystem;
    walk.options.xattrs = settings.xattrs;
    walk.options.policy = settings.policy;
    walk.options.policyChecksum = settings.checksum != EChecksum::None ? settings.checksum : EChecksum::SHA256;
    return CKoError::Success();
}

}  // namespace CX::walk
