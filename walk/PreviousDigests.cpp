#include "PreviousDigests.h"

#include "AttributeSet.h"
#include "EntryMetadata.h"
#include "MakeSharedNothrow.h"
#include "SQLiteConnection.h"

#include <algorithm>
#include <cstring>

namespace CX::walk {

namespace {

// Folders larger than this are not held: their files' digests are taken.
constexpr size_t kMostRows = 65536;

const std::string* Find(const std::vector<SAttribute>& attributes, const char* key)
{
    for (const auto& attribute : attributes)
        if (attribute.key == key)
            return &attribute.value;
    return nullptr;
}

}  // namespace

PreviousDigests::PreviousDigests(std::string container, EChecksum algorithm, FileSystemMap previous)
    : container_(std::move(container)), key_(ChecksumAttribute(algorithm)), previous_(std::move(previous))
{
}

void PreviousDigests::Folder(const std::string& path)
{
    if (path == folder_)
        return;
    folder_ = path;
    rows_.clear();
    if (failed_)
        return;
    if (!db_) {
        // This thread's own connection, which no other thread reaches.
        FX::detail::OwnThreadConnections ownThread;
        db_ = FX::make_shared_nothrow<CContentContainerDatabase>(container_, true);
        failed_ = !db_ || db_->GetConstructionError().IsError();
        if (failed_)
            return;
    }
    int64_t folderId = -1;
    FX::CSQLite3QueryPtr query;
    if (db_->QueryFolderId(path, folderId).IsError() || db_->QueryFiles(folderId, query).IsError())
        return;
    try {
        const int nameField = query->FieldIndex("FileName");
        const int metadataField = query->FieldIndex("Metadata");
        for (; !query->Eof() && rows_.size() < kMostRows; query->NextRow()) {
            query->ReadStringField(metadataField, text_, std::string());
            if (!CAttributeSet::Parse(text_, attributes_))
                continue;
            const std::string* digest = Find(attributes_, key_.c_str());
            if (digest == nullptr)
                continue;
            Row row;
            query->ReadStringField(nameField, row.name, std::string());
            for (const auto& [key, into] : {std::pair<const char*, std::string*>{"Size", &row.size},
                                            {"MTime", &row.mtime},
                                            {"CTime", &row.ctime},
                                            {"Inode", &row.inode}})
                if (const std::string* value = Find(attributes_, key))
                    *into = *value;
            row.digest = *digest;
            rows_.push_back(std::move(row));
        }
        if (!query->Eof())
            rows_.clear();  // too large to hold: read them all
    } catch (const FX::CSQLite3Exception&) {
        rows_.clear();
    }
}

const std::string* PreviousDigests::Reusable(const char* name, const EntryStatus& status, const std::string& identity,
                                             const char*& why)
{
    const auto row = std::lower_bound(rows_.begin(), rows_.end(), name,
                                      [](const Row& a, const char* b) { return std::strcmp(a.name.c_str(), b) < 0; });
    if (row == rows_.end() || row->name != name) {
        why = "no digest recorded";
        return nullptr;
    }
    text_.clear();
    AppendUnsigned(text_, status.size);
    if (row->size != text_) {
        why = "size changed";
        return nullptr;
    }
    text_.clear();
    AppendTime(text_, status.mtime);
    if (row->mtime != text_) {
        why = "modification time changed";
        return nullptr;
    }
    text_.clear();
    AppendTime(text_, status.ctime);
    if (row->ctime != text_) {
        why = "status change time changed";
        return nullptr;
    }
    text_.clear();
    AppendUnsigned(text_, static_cast<unsigned long long>(status.device));
    text_ += ':';
    AppendUnsigned(text_, static_cast<unsigned long long>(status.inode));
    if (row->inode != text_) {
        why = "inode changed";
        return nullptr;
    }
    const auto before = previous_.find(static_cast<uint64_t>(status.device));
    if ((before == previous_.end() ? std::string() : before->second) != identity) {
        why = "file system changed";
        return nullptr;
    }
    why = "unchanged";
    return &row->digest;
}

}  // namespace CX::walk
