// The writer of cx index: it writes what the walker hands over through the
// library, a folder always before its files, inside transactions of a few
// thousand rows: an interrupted run leaves a valid container holding
// everything written so far, marked incomplete. Files are written one by one
// within those transactions rather than through the library's file queue,
// which would copy every entry once more and, inside a transaction, flush
// each thousand through a savepoint and its journal.
#include "IndexWriter.h"

#include "BatchQueue.h"
#include "FXPath.h"
#include "SeenFolders.h"
#include "Walker.h"

#include <memory>
#include <system_error>
#include <thread>
#include <vector>

namespace cxcli {

namespace {

constexpr unsigned long long kRowsPerCommit = 20000;

class Writer {
public:
    Writer(const IndexOptions& options, CX::CContentContainerDatabase& db, CTimeStamp now)
        : options_(options), db_(db), now_(now), progress_("indexed")
    {
    }

    bool Begin(const std::string& root)
    {
        root_ = root;
        batch_ = std::make_unique<FX::CDatabaseTransaction>(&db_, 0);
        return RecordAncestors(root);
    }

    // Writes every batch the walker hands over, to the end of the walk; false
    // when a write failed (already reported).
    bool Consume(BatchQueue& queue)
    {
        while (std::unique_ptr<Batch> batch = queue.Next()) {
            for (const Entry& entry : batch->entries) {
                metadata_.assign(batch->Metadata(entry));
                if (entry.amend) {
                    if (!Write(db_.UpdateFolderMetadata(folderId_, metadata_), folderPath_))
                        return false;
                    continue;
                }
                if (entry.folder) {
                    folderPath_.assign(batch->Name(entry));
                    if (!WriteFolder())
                        return false;
                    ++folders;
                } else {
                    name_.assign(batch->Name(entry));
                    int64_t fileId = -1;
                    const CKoError error = db_.InsertOrUpdateFile(folderId_, name_, metadata_, now_, fileId);
                    if (error.IsError())
                        return Write(error, folderPath_ + name_);
                    ++files;
                }
                if (!Counted(1))
                    return false;
            }
            progress_.Update(folders + files, folderPath_);
            queue.Recycle(std::move(batch));
        }
        return true;
    }

    // Commits the last batch. A whole --update walk first removes what it
    // no longer found, in that same batch.
    bool Finish()
    {
        if (options_.update && !g_interrupted.load() &&
            !Write(seen_.RemoveUnseen(db_, root_, now_), "the removal of what is gone"))
            return false;
        if (!Write(batch_->Commit(), "the last batch"))
            return false;
        batch_.reset();
        return true;
    }

    unsigned long long folders = 0;
    unsigned long long files = 0;

private:
    bool Write(const CKoError& error, const std::string& what)
    {
        if (!error.IsError())
            return true;
        Fail(options_.container, "cannot write " + what + ": " + Cause(error));
        return false;
    }

    bool RecordAncestors(const std::string& root)
    {
        std::vector<std::string> ancestors;
        FXPath::SplitPaths(root, "", ancestors, 1);  // cannot fail
        for (const auto& ancestor : ancestors) {
            int64_t id = -1;
            if (!Write(db_.QueryOrInsertFolder(ancestor, "Type=\"ancestor\"", now_, id), ancestor))
                return false;
        }
        return true;
    }

    bool WriteFolder()
    {
        folderId_ = -1;
        if (options_.update) {
            if (!Write(db_.QueryOrInsertFolder(folderPath_, metadata_, now_, folderId_), folderPath_) ||
                !Write(db_.UpdateFolderMetadata(folderId_, metadata_), folderPath_))
                return false;
            seen_.Add(folderId_, folderPath_, metadata_);
            return true;
        }
        return Write(db_.InsertFolder(folderPath_, metadata_, now_, folderId_), folderPath_);
    }

    // Commits the running batch every so many rows, so that an interruption
    // or a crash loses at most one batch.
    bool Counted(unsigned long long rows)
    {
        sinceCommit_ += rows;
        if (sinceCommit_ < kRowsPerCommit)
            return true;
        sinceCommit_ = 0;
        if (!Write(batch_->Commit(), "a batch"))
            return false;
        batch_ = std::make_unique<FX::CDatabaseTransaction>(&db_, 0);
        return true;
    }

    const IndexOptions& options_;
    CX::CContentContainerDatabase& db_;
    CTimeStamp now_;
    Progress progress_;
    unsigned long long sinceCommit_ = 0;
    std::unique_ptr<FX::CDatabaseTransaction> batch_;
    std::string root_;
    SeenFolders seen_;
    int64_t folderId_ = -1;
    std::string folderPath_;
    std::string name_;
    std::string metadata_;
};

}  // namespace

bool WriteTree(const IndexOptions& options, CX::CContentContainerDatabase& db, CTimeStamp now,
               const OwnFiles& own, const std::string& root, const struct stat& rootStatus,
               unsigned long long& folders, unsigned long long& files, unsigned long long& warnings,
               unsigned long long& problems)
{
    Writer writer(options, db, now);
    if (!writer.Begin(root))
        return false;
    BatchQueue queue(kBatchesInFlight);
    Walker walker(options, own, queue, rootStatus.st_dev);
    std::thread thread;
    try {
        thread = std::thread([&] { walker.Run(root, rootStatus); });
    } catch (const std::system_error& error) {
        Fail(root, std::string("cannot start the walk: ") + error.what());
        return false;
    }
    // Whatever ends the writing, the walker is stopped and waited for before
    // the objects it uses go away.
    struct JoinOnExit {
        BatchQueue& queue;
        std::thread& thread;
        ~JoinOnExit()
        {
            if (thread.joinable()) {
                queue.Cancel();
                thread.join();
            }
        }
    } join{queue, thread};

    bool written = writer.Consume(queue);
    if (!written)
        queue.Cancel();
    thread.join();
    folders = writer.folders;
    files = writer.files;
    warnings = walker.Warnings();
    problems = walker.Problems();
    if (walker.failure)
        std::rethrow_exception(walker.failure);
    return written && writer.Finish();
}

}  // namespace cxcli
