#include "Scratch.h"

#include "Cli.h"

#include "ContentContainerDatabase.h"
#include "FXPath.h"
#include "SqlText.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace cxcli {

std::vector<std::string> WithSideFiles(const std::string& name)
{
    return {name, name + "-wal", name + "-shm", name + "-journal"};
}

void RemoveWithSideFiles(const std::string& path)
{
    for (const auto& file : WithSideFiles(path))
        unlink(file.c_str());
}

ScratchContainer::~ScratchContainer()
{
    if (!path_.empty())
        RemoveWithSideFiles(path_);
}

bool ScratchContainer::Create()
{
    const char* folder = std::getenv("TMPDIR");
    std::string pattern = std::string(folder != nullptr && *folder != 0 ? folder : "/tmp") + "/cx-scratch.XXXXXX";
    const int fd = mkostemp(&pattern[0], O_CLOEXEC);
    if (fd < 0) {
        Fail(pattern, std::string("cannot make a scratch file: ") + std::strerror(errno));
        return false;
    }
    close(fd);
    path_ = pattern;
    return true;
}

bool RebaseContainer(const std::string& container, const std::string& from, const std::string& to)
{
    CX::CContentContainerDatabase db(container, false);
    CKoError error = db.GetConstructionError();
    const std::string below = "substr(CAST(FolderName AS BLOB), 1, " + std::to_string(from.size()) + ") = " + CX::sql::Blob(from);
    // Through a prefix no path starts with, so that no name collides with
    // one not yet moved, wherever `to` lies relative to `from`.
    std::string sql = "BEGIN;"
                      "DELETE FROM Files WHERE FolderId IN (SELECT FolderId FROM Folders WHERE NOT (" + below + "));"
                      "DELETE FROM Folders WHERE NOT (" + below + ");"
                      "UPDATE Folders SET FolderName = CAST(X'01' AS TEXT) || FolderName;"
                      "UPDATE Folders SET FolderName = CAST(" + CX::sql::Blob(to) + " AS TEXT) || "
                      "CAST(substr(CAST(FolderName AS BLOB), " + std::to_string(from.size() + 2) + ") AS TEXT);";
    std::vector<std::string> ancestors;
    FXPath::SplitPaths(to, "", ancestors, 1);  // cannot fail
    for (const auto& ancestor : ancestors)
        sql += "INSERT OR IGNORE INTO Folders (FolderName, Metadata, RecordCreateTime, RecordUpdateTime) VALUES "
               "(CAST(" + CX::sql::Blob(ancestor) + " AS TEXT), 'Type=\"ancestor\"', 0, 0);";
    sql += "COMMIT;";
    if (!error.IsError())
        error = db.Execute(sql);
    if (!error.IsError())
        error = db.SetValue("Origin", to.size() > 1 ? to.substr(0, to.size() - 1) : to);
    if (error.IsError()) {
        db.Execute("ROLLBACK;");
        Fail(container, "cannot move its rows to " + EscapeLine(to) + ": " + Cause(error));
        return false;
    }
    return true;
}

}  // namespace cxcli
