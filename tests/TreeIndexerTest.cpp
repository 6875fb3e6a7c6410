// The tree indexer as a host uses it: the settings it records and reads back,
// a recorded setting that cannot be read back, an update that must not mix
// two trees in one snapshot, a walk started ahead of Index, a top folder gone
// as the walk begins, and digests taken while OpenSSL sets itself up.
#include "ChecksumWarmUp.h"
#include "ContentContainerDatabase.h"
#include "IndexSettings.h"
#include "TestSupport.h"
#include "TreeIndexer.h"
#include "TreeWalker.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <string>
#include <thread>

namespace {

class TreeIndexerTest : public TempDirTest {
protected:
    // A tree with a file, a log folder and a folder below it.
    std::string MakeTree(const std::string& name)
    {
        const std::string root = dir.File(name);
        EXPECT_EQ(0, mkdir(root.c_str(), 0755));
        EXPECT_EQ(0, mkdir((root + "/logs").c_str(), 0755));
        WriteFileBytes(root + "/a.txt", "alpha");
        WriteFileBytes(root + "/logs/l", "log");
        return root;
    }

    // The metadata of file `name` in `folder` (a path ending with "/"), or
    // "" when the container has no such file.
    static std::string FileMetadata(CX::CContentContainerDatabase& db, const std::string& folder,
                                    const std::string& name)
    {
        int64_t folderId = -1;
        int64_t fileId = -1;
        std::string metadata;
        CTimeStamp updated;
        if (db.QueryFolderId(folder, folderId).IsError() ||
            db.QueryFile(folderId, name, fileId, metadata, updated).IsError())
            return "";
        return metadata;
    }

    // The container holds a snapshot of `origin`, and no row of `other`.
    static void ExpectSnapshotOfOnly(CX::CContentContainerDatabase& db, const std::string& origin,
                                     const std::string& other)
    {
        std::string recorded;
        EXPECT_FALSE(db.GetValue("Origin", recorded).IsError());
        EXPECT_EQ(origin, recorded);
        int64_t folderId = -1;
        EXPECT_TRUE(FXErrorUtil::IsWin32(db.QueryFolderId(other + "/", folderId), KO_ERROR_NOT_FOUND));
    }

    CKoError Index(const std::string& container, const std::string& root, const CX::SIndexSettings& settings,
                   bool update)
    {
        CX::CContentContainerDatabase db(container);
        if (db.GetConstructionError().IsError())
            return db.GetConstructionError();
        CX::CTreeIndexer indexer;
        indexer.SetSettings(settings);
        indexer.SetUpdate(update);
        CX::STreeIndexerCounts counts;
        return indexer.Index(db, root, counts);
    }
};

TEST_F(TreeIndexerTest, RecordsItsSettingsAndReadsThemBack)
{
    const std::string root = MakeTree("tree");
    CX::SIndexSettings settings;
    settings.checksum = CX::EChecksum::XXH128;
    settings.oneFileSystem = true;
    std::string problem;
    ASSERT_TRUE(settings.excludes.AddPattern("logs/", problem));
    ASSERT_TRUE(settings.excludes.AddPattern("!keep", problem));
    settings.collects = {"*.txt", "/x/*"};
    const std::string container = dir.File("c.cx");
    ASSERT_FALSE(Index(container, root, settings, false).IsError());

    CX::CContentContainerDatabase db(container, true);
    CX::SIndexSettings read;
    ASSERT_FALSE(CX::ReadIndexSettings(db, read).IsError());
    EXPECT_EQ(CX::EChecksum::XXH128, read.checksum);
    EXPECT_TRUE(read.oneFileSystem);
    EXPECT_EQ("logs/\n!keep\n", read.excludes.Text());
    EXPECT_TRUE(read.excludes.Excluded("logs", true));
    EXPECT_EQ(settings.collects, read.collects);
    // The walk went by them: the log folder is left out, the file digested.
    int64_t folderId = -1;
    EXPECT_TRUE(FXErrorUtil::IsWin32(db.QueryFolderId(root + "/logs/", folderId), KO_ERROR_NOT_FOUND));
    const std::string metadata = FileMetadata(db, root + "/", "a.txt");
    EXPECT_NE(std::string::npos, metadata.find(" XXH128=\"")) << metadata;
    EXPECT_NE(std::string::npos, metadata.find(" Collect=\"true\"")) << metadata;
}

TEST_F(TreeIndexerTest, WhatIsNotRecordedKeepsTheCallersValue)
{
    CX::CContentContainerDatabase db(dir.File("host.cx"));
    ASSERT_FALSE(db.SetValue("OneFileSystem", "true").IsError());
    CX::SIndexSettings read;
    read.checksum = CX::EChecksum::XXH128;
    read.collects = {"*.c"};
    ASSERT_FALSE(CX::ReadIndexSettings(db, read).IsError());
    EXPECT_EQ(CX::EChecksum::XXH128, read.checksum);
    EXPECT_TRUE(read.oneFileSystem);
    EXPECT_EQ(std::vector<std::string>{"*.c"}, read.collects);
}

TEST_F(TreeIndexerTest, AMalformedRecordIsAnErrorNamingIt)
{
    const struct {
        const char* key;
        const char* value;
    } cases[] = {
        {"ExcludeRules", "logs\nbad\\"},  // a lone trailing backslash on line 2
        {"ExcludeRules", "/"},
        {"Checksum", "md4"},
        {"OneFileSystem", "yes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.key) + "=" + c.value);
        CX::CContentContainerDatabase db(dir.File("bad.cx"));
        ASSERT_FALSE(db.SetValue(c.key, c.value).IsError());
        CX::SIndexSettings read;
        std::string problem;
        ASSERT_TRUE(read.excludes.AddPattern("kept", problem));
        const CKoError error = CX::ReadIndexSettings(db, read);
        ASSERT_TRUE(FXErrorUtil::IsWin32(error, KO_ERROR_INVALID_DATA)) << error.AsString();
        EXPECT_NE(std::string::npos, error.Entries().front().message.find(c.key)) << error.AsString();
        // Nothing is taken half: the caller's settings stay as they were.
        EXPECT_EQ("kept\n", read.excludes.Text());
        EXPECT_EQ(CX::EChecksum::None, read.checksum);
        ASSERT_FALSE(db.Execute("DELETE FROM Storage;").IsError());
    }
}

TEST_F(TreeIndexerTest, AnUpdateRefusesASnapshotOfAnotherFolder)
{
    const std::string one = MakeTree("one");
    const std::string two = MakeTree("two");
    const std::string container = dir.File("c.cx");
    ASSERT_FALSE(Index(container, one, CX::SIndexSettings(), false).IsError());
    const CKoError error = Index(container, two, CX::SIndexSettings(), true);
    ASSERT_TRUE(FXErrorUtil::IsWin32(error, KO_ERROR_INVALID_PARAMETER)) << error.AsString();
    const std::string message = error.Entries().front().message;
    EXPECT_NE(std::string::npos, message.find(one)) << message;
    EXPECT_NE(std::string::npos, message.find(two)) << message;
    // The snapshot is still the first tree's, and only its.
    {
        CX::CContentContainerDatabase db(container, true);
        ExpectSnapshotOfOnly(db, one, two);
    }
    // The same tree updates.
    EXPECT_FALSE(Index(container, one, CX::SIndexSettings(), true).IsError());
}

// A walk started ahead of Index is what Index records only while nothing
// about it changed: another directory, or an option set after Start, gives it
// up and Index walks afresh.
TEST_F(TreeIndexerTest, AWalkStartedAheadIsTakenOverOnlyAsStarted)
{
    const std::string one = MakeTree("one");
    const std::string two = MakeTree("two");
    WriteFileBytes(one + "/only-in-one", "1");
    const struct {
        const char* name;
        const std::string& started;
        bool checksumAfterStart;
    } cases[] = {
        {"the same directory", one, false},
        {"another directory", two, false},
        {"an option set after Start", one, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string container = dir.File("started" + std::to_string(&c - cases) + ".cx");
        CX::CTreeIndexer indexer;
        ASSERT_FALSE(indexer.Start(c.started).IsError());
        if (c.checksumAfterStart)
            indexer.SetChecksum(true);
        CX::STreeIndexerCounts counts;
        {
            CX::CContentContainerDatabase db(container);
            ASSERT_FALSE(indexer.Index(db, one, counts).IsError());
        }
        EXPECT_EQ(2u, counts.folders);
        EXPECT_EQ(3u, counts.files);
        CX::CContentContainerDatabase db(container, true);
        ExpectSnapshotOfOnly(db, one, two);
        const std::string metadata = FileMetadata(db, one + "/", "a.txt");
        EXPECT_EQ(0u, metadata.find("Type=\"file\"")) << metadata;
        EXPECT_EQ(c.checksumAfterStart, metadata.find(" XXH128=\"") != std::string::npos) << metadata;
    }
}

// Copies of an indexer share the walk started ahead: of two indexing at once,
// one takes it over and the other walks afresh. Also run under
// ThreadSanitizer.
TEST_F(TreeIndexerTest, AWalkStartedAheadGoesToOneOfTwoCopies)
{
    const std::string root = MakeTree("tree");
    CX::CTreeIndexer one;
    CX::CTreeIndexer two(one);
    ASSERT_FALSE(one.Start(root).IsError());
    CX::CContentContainerDatabase db0(dir.File("copy0.cx"));
    CX::CContentContainerDatabase db1(dir.File("copy1.cx"));
    CKoError errors[2];
    CX::STreeIndexerCounts counts[2];
    // Both go at once; a relaxed flag orders nothing between them.
    std::atomic<bool> go{false};
    std::thread other([&] {
        while (!go.load(std::memory_order_relaxed)) {
        }
        errors[1] = two.Index(db1, root, counts[1]);
    });
    go.store(true, std::memory_order_relaxed);
    errors[0] = one.Index(db0, root, counts[0]);
    other.join();
    for (int i = 0; i < 2; ++i) {
        EXPECT_FALSE(errors[i].IsError()) << errors[i].AsString();
        EXPECT_EQ(2u, counts[i].files);
    }
}

// A top folder gone between its stat and its reading (the host resolved it,
// then it was removed) leaves nothing to record: the walk fails rather than
// hand on an empty tree, which would replace a snapshot with nothing, and
// says so once.
TEST_F(TreeIndexerTest, ARootGoneAsTheWalkBeginsIsAnError)
{
    struct Sink : CX::walk::TreeSink {
        CKoError Folder(std::string_view, std::string_view, bool) override { return CKoError(); }
        CKoError AmendFolder(std::string_view) override { return CKoError(); }
        CKoError File(std::string_view, std::string_view) override { return CKoError(); }
    } sink;
    struct Report : CX::walk::WalkReport {
        void Warning(const std::string& path, const char* what, const char*, bool) override
        {
            warnings.push_back(path + ": " + what);
        }
        bool Poll() override { return false; }
        std::vector<std::string> warnings;
    };
    const std::string root = MakeTree("gone");
    CX::walk::EntryStatus status;
    ASSERT_TRUE(CX::walk::StatAt(AT_FDCWD, root.c_str(), status));
    ASSERT_EQ(0, system(("rm -r '" + root + "'").c_str()));
    for (const bool xattrs : {true, false}) {
        SCOPED_TRACE(xattrs ? "with extended attributes" : "without");
        CX::walk::WalkOptions options;
        options.xattrs = xattrs;
        Report report;
        CX::walk::WalkOutcome outcome;
        const CKoError error =
            CX::walk::Walk(options, CX::walk::OwnFiles(0, 0, {}), root + "/", status, sink, report, outcome);
        EXPECT_TRUE(FXErrorUtil::IsWin32(error, KO_ERROR_FILE_NOT_FOUND)) << error.AsString();
        EXPECT_EQ(std::vector<std::string>{root + "/: vanished"}, report.warnings);
    }
}

// Each test runs in a process of its own, so OpenSSL is set up here for the
// first time, by several threads at once: the host's warm-up, the indexer's
// and the walk's threads, or the walk's threads while a walk started ahead
// loads libcrypto. Also run under ThreadSanitizer.
class TreeIndexerDigestTest : public TreeIndexerTest {
protected:
    void IndexWithDigests(bool startedAhead)
    {
        const std::string root = dir.File("tree");
        ASSERT_EQ(0, mkdir(root.c_str(), 0755));
        for (int i = 0; i < 64; ++i)
            WriteFileBytes(root + "/f" + std::to_string(i), "abc");
        CX::SIndexSettings settings;
        settings.checksum = CX::EChecksum::SHA256;
        const std::string container = dir.File("c.cx");
        if (startedAhead) {
            CX::CTreeIndexer indexer;
            indexer.SetSettings(settings);
            ASSERT_FALSE(indexer.Start(root).IsError());
            CX::CContentContainerDatabase db(container);
            CX::STreeIndexerCounts counts;
            ASSERT_FALSE(indexer.Index(db, root, counts).IsError());
        } else {
            const CX::CChecksumWarmUp warmUp(settings.checksum);
            ASSERT_FALSE(Index(container, root, settings, false).IsError());
        }
        CX::CContentContainerDatabase db(container, true);
        for (int i = 0; i < 64; ++i) {
            const std::string metadata = FileMetadata(db, root + "/", "f" + std::to_string(i));
            EXPECT_NE(std::string::npos,
                      metadata.find("SHA256=\"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\""))
                << metadata;
        }
    }
};

TEST_F(TreeIndexerDigestTest, DigestsTakenWhileOpenSslSetsItselfUp)
{
    IndexWithDigests(false);
}

TEST_F(TreeIndexerDigestTest, DigestsTakenByAWalkStartedAhead)
{
    IndexWithDigests(true);
}

}  // namespace
