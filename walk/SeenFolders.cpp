#include "SeenFolders.h"

#include "SqlText.h"

#include <cinttypes>
#include <cstdio>

namespace CX::walk {

namespace {

// Inserts the ids into a temporary table, some hundreds a statement.
CKoError FillIds(CX::CContentContainerDatabase& db, const char* table, const std::vector<int64_t>& ids)
{
    CKoError error = db.Execute(std::string("CREATE TEMP TABLE ") + table + "(FolderId INTEGER PRIMARY KEY);");
    for (size_t i = 0; i < ids.size() && !error.IsError(); i += 500) {
        std::string sql = std::string("INSERT OR IGNORE INTO temp.") + table + " VALUES ";
        for (size_t j = i; j < ids.size() && j < i + 500; ++j) {
            char value[32];
            std::snprintf(value, sizeof value, "%s(%" PRId64 ")", j == i ? "" : ",", ids[j]);
            sql += value;
        }
        error = db.Execute(sql + ";");
    }
    return error;
}

}  // namespace

void SeenFolders::Add(int64_t folderId, const std::string& path, std::string_view metadata)
{
    ids_.push_back(folderId);
    if (metadata.find(" Unreadable=\"") != std::string_view::npos) {
        unreadableIds_.push_back(folderId);
        unreadable_.push_back(path);
    }
}

CKoError SeenFolders::RemoveUnseen(CX::CContentContainerDatabase& db, const std::string& root, CTimeStamp now) const
{
    CKoError error = FillIds(db, "SeenFolders", ids_);
    if (!error.IsError())
        error = FillIds(db, "UnreadableFolders", unreadableIds_);
    std::string below = "substr(CAST(f.FolderName AS BLOB), 1, " + std::to_string(root.size()) +
                        ") = " + sql::Blob(root);
    for (const auto& kept : unreadable_)
        below += " AND substr(CAST(f.FolderName AS BLOB), 1, " + std::to_string(kept.size()) +
                 ") <> " + sql::Blob(kept);
    char time[32];
    std::snprintf(time, sizeof time, "%" PRId64, static_cast<int64_t>(now.GetSystemTime()));
    if (!error.IsError())
        error = db.Execute("CREATE TEMP TABLE GoneFolders AS SELECT f.FolderId FROM Folders f WHERE " + below +
                           " AND f.FolderId NOT IN (SELECT FolderId FROM temp.SeenFolders);"
                           "DELETE FROM Files WHERE FolderId IN (SELECT FolderId FROM temp.GoneFolders);"
                           "DELETE FROM Folders WHERE FolderId IN (SELECT FolderId FROM temp.GoneFolders);"
                           "DELETE FROM Files WHERE RecordUpdateTime <> " + time +
                           " AND FolderId IN (SELECT FolderId FROM temp.SeenFolders)"
                           " AND FolderId NOT IN (SELECT FolderId FROM temp.UnreadableFolders);");
    // The tables go whatever happened, so that the connection is as it was.
    db.Execute("DROP TABLE IF EXISTS temp.SeenFolders; DROP TABLE IF EXISTS temp.UnreadableFolders;"
               "DROP TABLE IF EXISTS temp.GoneFolders;");
    return error;
}

}  // namespace CX::walk
