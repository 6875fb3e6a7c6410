#include "TreeWriter.h"

#include "FXPath.h"

#include <vector>

namespace CX::walk {

namespace {

constexpr unsigned long long kRowsPerCommit = 20000;

}  // namespace

TreeWriter::TreeWriter(CContentContainerDatabase& db, CTimeStamp now, bool update)
    : db_(db), now_(now), update_(update)
{
}

CKoError TreeWriter::Begin(const std::string& root)
{
    root_ = root;
    batch_ = std::make_unique<FX::CDatabaseTransaction>(&db_, 0);
    std::vector<std::string> ancestors;
    FXPath::SplitPaths(root, "", ancestors, 1);  // cannot fail
    for (const auto& ancestor : ancestors) {
        int64_t id = -1;
        const CKoError error = db_.QueryOrInsertFolder(ancestor, "Type=\"ancestor\"", now_, id);
        if (error.IsError())
            return CKoError(error).Push(FX_LOCATION, "cannot write %s", ancestor.c_str());
    }
    return CKoError();
}

CKoError TreeWriter::Folder(std::string_view path, std::string_view metadata, bool)
{
    folderPath_.assign(path);
    metadata_.assign(metadata);
    folderId_ = -1;
    CKoError error;
    if (update_) {
        error = db_.QueryOrInsertFolder(folderPath_, metadata_, now_, folderId_);
        if (!error.IsError())
            error = db_.UpdateFolderMetadata(folderId_, metadata_);
        if (!error.IsError())
            seen_.Add(folderId_, folderPath_, metadata_);
    } else {
        error = db_.InsertFolder(folderPath_, metadata_, now_, folderId_);
    }
    if (error.IsError())
        return error.Push(FX_LOCATION, "cannot write %s", folderPath_.c_str());
    ++folders_;
    return Counted();
}

CKoError TreeWriter::AmendFolder(std::string_view metadata)
{
    metadata_.assign(metadata);
    CKoError error = db_.UpdateFolderMetadata(folderId_, metadata_);
    if (error.IsError())
        return error.Push(FX_LOCATION, "cannot write %s", folderPath_.c_str());
    return CKoError();
}

CKoError TreeWriter::File(std::string_view name, std::string_view metadata)
{
    name_.assign(name);
    metadata_.assign(metadata);
    int64_t fileId = -1;
    CKoError error = db_.InsertOrUpdateFile(folderId_, name_, metadata_, now_, fileId);
    if (error.IsError())
        return error.Push(FX_LOCATION, "cannot write %s%s", folderPath_.c_str(), name_.c_str());
    ++files_;
    return Counted();
}

CKoError TreeWriter::Finish(bool complete)
{
    CKoError error;
    if (update_ && complete) {
        error = seen_.RemoveUnseen(db_, root_, now_);
        if (error.IsError())
            return error.Push(FX_LOCATION, "cannot write the removal of what is gone");
    }
    error = batch_->Commit();
    if (error.IsError())
        return error.Push(FX_LOCATION, "cannot write the last batch");
    batch_.reset();
    return error;
}

// Commits the running transaction every so many rows, so that an
// interruption or a crash loses at most one of them.
CKoError TreeWriter::Counted()
{
    if (++sinceCommit_ < kRowsPerCommit)
        return CKoError();
    sinceCommit_ = 0;
    CKoError error = batch_->Commit();
    if (error.IsError())
        return error.Push(FX_LOCATION, "cannot write a batch");
    batch_ = std::make_unique<FX::CDatabaseTransaction>(&db_, 0);
    return error;
}

}  // namespace CX::walk
