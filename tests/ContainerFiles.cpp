#include "ContainerFiles.h"

#include "ContentContainerDatabase.h"
#include "FXFile.h"

#include <unistd.h>

namespace {
std::set<std::string> Column(const std::string& file, const std::string& sql)
{
    std::set<std::string> values;
    CX::CContentContainerDatabase database(file, false);
    FX::CSQLite3QueryPtr query;
    if (database.GetConstructionError().IsError() || database.Query(sql, query).IsError())
        return {"<unreadable>"};
    try {
        for (; !query->Eof(); query->NextRow())
            values.insert(query->GetStringField(0, ""));
    } catch (const FX::CSQLite3Exception&) {
        values.insert("<unreadable>");
    }
    return values;
}
}  // namespace

std::string IntegrityCheck(const std::string& file)
{
    CX::CContentContainerDatabase database(file, false);
    if (database.GetConstructionError().IsError())
        return database.GetConstructionError().AsString();
    FX::CSQLite3QueryPtr query;
    CKoError error = database.Query("PRAGMA integrity_check;", query);
    if (error.IsError())
        return error.AsString();
    std::string result;
    try {
        for (; !query->Eof(); query->NextRow())
            result += (result.empty() ? "" : "; ") + query->GetStringField(0, "");
    } catch (const FX::CSQLite3Exception& exception) {
        result += exception.what();
    }
    return result;
}

std::set<std::string> StoredFilePaths(const std::string& file)
{
    return Column(file, "SELECT FolderName || FileName FROM Files JOIN Folders USING (FolderId);");
}

std::set<std::string> StoredFolderNames(const std::string& file)
{
    return Column(file, "SELECT FolderName FROM Folders;");
}

bool HasSideFiles(const std::string& file)
{
    return FXFile::DoesFileExist(file + "-wal") || FXFile::DoesFileExist(file + "-shm");
}

void RemoveContainerFiles(const std::string& file)
{
    for (const char* suffix : {"", "-wal", "-shm", "-journal"})
        unlink((file + suffix).c_str());
}
