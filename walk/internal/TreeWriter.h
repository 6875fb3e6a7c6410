// The sink that writes a walk into a container.
#pragma once

#include "ContentContainerDatabase.h"
#include "SeenFolders.h"
#include "TreeSink.h"
#include "WalkSetup.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace CX::walk {

// Writes what the walk hands on, a folder always before its files, inside
// transactions of a few thousand rows: an interrupted run leaves a valid
// container holding everything written so far. Files are written one by one
// within those transactions rather than through the database's file queue,
// which would copy every entry once more and, inside a transaction, flush
// each thousand through a savepoint and its journal.
class TreeWriter : public TreeSink, public WalkProgress {
public:
    // `update`: rows of an earlier walk are kept where found again, and
    // Finish removes the rest below the root.
    TreeWriter(CContentContainerDatabase& db, CTimeStamp now, bool update);

    // Records the ancestors of `root` (Type="ancestor"), so that the
    // container reviews clean, in the first transaction.
    CKoError Begin(const std::string& root);
    CKoError Folder(std::string_view path, std::string_view metadata, bool whole) override;
    CKoError AmendFolder(std::string_view metadata) override;
    CKoError File(std::string_view name, std::string_view metadata) override;
    // Commits the last transaction. A whole walk (`complete`) with `update`
    // first removes, in that same transaction, what it no longer found.
    CKoError Finish(bool complete);

    unsigned long long Folders() const { return folders_; }
    unsigned long long Files() const { return files_; }
    uint64_t Entries() const override { return folders_ + files_; }
    // The folder written last.
    const std::string& Current() const override { return folderPath_; }

private:
    CKoError Counted();

    CContentContainerDatabase& db_;
    const CTimeStamp now_;
    const bool update_;
    unsigned long long folders_ = 0;
    unsigned long long files_ = 0;
    unsigned long long sinceCommit_ = 0;
    std::unique_ptr<FX::CDatabaseTransaction> batch_;
    std::string root_;
    SeenFolders seen_;
    int64_t folderId_ = -1;
    std::string folderPath_;
    std::string name_;
    std::string metadata_;
};

}  // namespace CX::walk
