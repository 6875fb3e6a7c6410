#include "PreviousDigests.h"

#include "AttributeList.h"
#include "EntryMetadata.h"
#include "MakeSharedNothrow.h"
#include "SQLiteConnection.h"

#include <algorithm>

namespace CX::walk {

namespace {

// Folders larger than this are not held: their files' digests are taken.
constexpr size_t kMostRows = 65536;

}  // namespace

PreviousDigests::PreviousDigests(std::string container, EChecksum algorithm, FileSystemMap previous)
    : container_(std::move(container)), key_(ChecksumAttribute(algorithm)), previous_(std::move(previous))
{
}

// This thread's own connection, which no other thread reaches, and its one
// statement: the files of a folder named by its path, in the order of their
// names (that of the index it reads).
bool PreviousDigests::Open()
{
    FX::detail::OwnThreadConnections ownThread;
    db_ = FX::make_shared_nothrow<CContentContainerDatabase>(container_, true);
    failed_ = !db_ || db_->GetConstructionError().IsError() ||
              db_->CompileStatement("SELECT FileName, Metadata FROM Files WHERE FolderId="
                                    "(SELECT FolderId FROM Folders WHERE FolderName=?1) ORDER BY FileName;",
                                    files_)
                  .IsError();
    return !failed_;
}

void PreviousDigests::Folder(const std::string& path)
{
    if (path == folder_)
        return;
    folder_ = path;
    rows_.clear();
    text_.clear();
    if (failed_ || (!files_ && !Open()))
        return;
    static const std::string kNone;
    try {
        files_->Bind(1, path);
        const FX::CSQLite3QueryPtr query = files_->ExecQuery();
        for (; !query->Eof() && rows_.size() < kMostRows; query->NextRow()) {
            Row row;
            query->ReadStringField(0, field_, kNone);
            row.name = {static_cast<uint32_t>(text_.size()), static_cast<uint32_t>(field_.size())};
            text_ += field_;
            query->ReadStringField(1, field_, kNone);
            const size_t metadataAt = text_.size();
            text_ += field_;
            const std::string_view metadata(field_);
            const auto span = [&](std::string_view value) {
                return Span{static_cast<uint32_t>(metadataAt + (value.data() - metadata.data())),
                            static_cast<uint32_t>(value.size())};
            };
            bool digest = false;
            // None of the values read here is ever escaped when the walk
            // writes it, so the stored text is the value.
            const bool wellFormed = ForEachStoredAttribute(metadata, [&](std::string_view key,
                                                                         std::string_view value, bool escaped) {
                if (escaped)
                    return true;  // compares with nothing: the file is read
                if (key == key_) {
                    row.digest = span(value);
                    digest = true;
                } else if (key == "Size") {
                    row.size = span(value);
                } else if (key == "MTime") {
                    row.mtime = span(value);
                } else if (key == "CTime") {
                    row.ctime = span(value);
                } else if (key == "Inode") {
                    row.inode = span(value);
                }
                return true;
            });
            if (wellFormed && digest)
                rows_.push_back(row);
            else
                text_.resize(row.name.at);
        }
        if (!query->Eof()) {
            rows_.clear();  // too large to hold: read them all
            text_.clear();
        }
    } catch (const FX::CSQLite3Exception&) {
        rows_.clear();
        text_.clear();
    }
}

bool PreviousDigests::Reusable(const char* name, const EntryStatus& status, const std::string& identity,
                               std::string_view& digest, const char*& why)
{
    const std::string_view wanted(name);
    const auto row = std::lower_bound(rows_.begin(), rows_.end(), wanted,
                                      [this](const Row& a, std::string_view b) { return Text(a.name) < b; });
    if (row == rows_.end() || Text(row->name) != wanted) {
        why = "no digest recorded";
        return false;
    }
    now_.clear();
    AppendUnsigned(now_, status.size);
    if (!Same(row->size, now_)) {
        why = "size changed";
        return false;
    }
    now_.clear();
    AppendTime(now_, status.mtime);
    if (!Same(row->mtime, now_)) {
        why = "modification time changed";
        return false;
    }
    now_.clear();
    AppendTime(now_, status.ctime);
    if (!Same(row->ctime, now_)) {
        why = "status change time changed";
        return false;
    }
    now_.clear();
    AppendUnsigned(now_, static_cast<unsigned long long>(status.device));
    now_ += ':';
    AppendUnsigned(now_, static_cast<unsigned long long>(status.inode));
    if (!Same(row->inode, now_)) {
        why = "inode changed";
        return false;
    }
    const auto before = previous_.find(static_cast<uint64_t>(status.device));
    if ((before == previous_.end() ? std::string() : before->second) != identity) {
        why = "file system changed";
        return false;
    }
    why = "unchanged";
    digest = Text(row->digest);
    return true;
}

}  // namespace CX::walk
