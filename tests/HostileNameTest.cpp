// Names that break careless code, through indexing, lookups, the listings, a
// comparison, a review and the unique name check: invalid UTF-8, LIKE's
// wildcards, backslashes, quotes, line breaks, names differing only in case,
// the composed and decomposed forms of one name, embedded NUL bytes and paths
// of 4,095 bytes. Each must come back byte for byte as it went in.
#include "CompareContentContainers.h"
#include "ContainerTestAccess.h"
#include "ContentContainer.h"
#include "ReviewContentContainer.h"
#include "TestSupport.h"
#include "UniqueNameCheck.h"

#include <boost/make_shared.hpp>

#include <map>
#include <set>
#include <vector>

namespace {

using CX::CContentContainer;

CTimeStamp T(int64_t ticks) { return CTimeStamp::FromSystemTime(ticks); }

// One path component each; none holds "/" or a NUL.
std::vector<std::string> Components()
{
    return {
        "plain",
        "%",
        "_",
        "100%_done",
        "a_b%c",
        "back\\slash",
        "\\",
        "quote'single",
        "quote\"double",
        "semi;colon'--",
        "new\nline",
        "carriage\rreturn",
        "tab\there",
        "\xff\xfe",          // no UTF-8 at all
        "bad\xc3\x28",       // a lead byte without its continuation
        "\xc0\xaf",          // an overlong "/"
        "\xed\xa0\x80",      // an encoded surrogate
        "Readme",
        "README",            // differs only in case
        "caf\xc3\xa9",       // composed e with acute accent
        "cafe\xcc\x81",      // the same, decomposed
        "\xc3\x89t\xc3\xa9", // non-ASCII capital and small letters
        "\xc3\xa9t\xc3\xa9",
        " leading and trailing ",
        "..",
        ".",
    };
}

// A component that makes "/h/<it>/" exactly `total` bytes long.
std::string LongComponent(size_t total) { return std::string(total - 4, 'L'); }

// File names may also hold a NUL byte: names are never cut at one.
std::vector<std::string> FileNames()
{
    std::vector<std::string> names = Components();
    names.push_back(std::string("nul\0inside", 10));
    names.push_back(std::string("nul\0other!", 10));  // the same length and prefix
    names.push_back("nul");
    names.push_back(std::string(4095 - 3, 'F'));  // "/h/" and the name: 4,095 bytes
    return names;
}

std::vector<std::string> FolderNames()
{
    std::vector<std::string> names;
    for (const std::string& component : Components())
        names.push_back("/h/" + component + "/");
    names.push_back("/h/" + LongComponent(4095) + "/");
    return names;
}

class HostileNameTest : public TempDirTest {
protected:
    void SetUp() override { file = dir.File("c.cx"); }

    // Writes every folder directly and through the folder queue, and every
    // file directly and through the file queue, each with its name as metadata.
    void Build(const std::string& path, const std::vector<std::string>& folders,
               const std::vector<std::string>& files)
    {
        CContentContainer container;
        ASSERT_FALSE(container.SetName(path).IsError());
        ASSERT_FALSE(container.ReplaceOrCreate().IsError());
        int64_t id = -1;
        for (const std::string& folder : folders) {
            CKoError error = container.InsertFolder(folder, folder, T(1), id);
            ASSERT_FALSE(error.IsError()) << Printable(folder) << ": " << error.AsString();
        }
        ASSERT_FALSE(container.OpenFolderQueue().IsError());
        for (const std::string& folder : folders)
            ASSERT_FALSE(container.AddFolderToQueue("/queued" + folder, folder, T(1), id).IsError())
                << Printable(folder);
        ASSERT_FALSE(container.MergeFolderQueue().IsError());

        int64_t direct = -1;
        int64_t queued = -1;
        ASSERT_FALSE(container.InsertFolder("/h/", "", T(1), direct).IsError());
        ASSERT_FALSE(container.InsertFolder("/q/", "", T(1), queued).IsError());
        auto database = CX::CContentContainerTestAccess::Database(container);
        for (const std::string& name : files) {
            CKoError error = container.InsertOrUpdateFile(direct, name, name, T(1), id);
            ASSERT_FALSE(error.IsError()) << Printable(name) << ": " << error.AsString();
            ASSERT_FALSE(database->QueueInsertOrUpdateFile(queued, name, name, T(1)).IsError()) << Printable(name);
        }
        ASSERT_FALSE(container.Close().IsError());
    }

    static std::string Printable(const std::string& text)
    {
        std::string out;
        for (unsigned char c : text) {
            if (c >= 0x20 && c < 0x7F) {
                out.push_back(static_cast<char>(c));
            } else {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02X", c);
                out += hex;
            }
        }
        return out.size() > 80 ? out.substr(0, 40) + "...(" + std::to_string(text.size()) + " bytes)" : out;
    }

    std::string file;
};

TEST_F(HostileNameTest, IndexQueriesAndListingsGiveEveryNameBackByteForByte)
{
    Build(file, FolderNames(), FileNames());

    CContentContainer container;
    ASSERT_FALSE(container.SetName(file).IsError());
    ASSERT_FALSE(container.OpenExistingReadOnly().IsError());
    for (const std::string& prefix : {std::string(), std::string("/queued")}) {
        for (const std::string& folder : FolderNames()) {
            int64_t id = -1;
            std::string metadata;
            CKoError error = container.QueryFolderId(prefix + folder, id, metadata);
            ASSERT_FALSE(error.IsError()) << Printable(folder) << ": " << error.AsString();
            EXPECT_EQ(metadata, folder) << Printable(folder);
        }
    }
    for (const char* folder : {"/h/", "/q/"}) {
        int64_t folderId = -1;
        ASSERT_FALSE(container.QueryFolderId(folder, folderId).IsError());
        for (const std::string& name : FileNames()) {
            int64_t fileId = -1;
            std::string metadata;
            CTimeStamp time;
            CKoError error = container.QueryFile(folderId, name, fileId, metadata, time);
            ASSERT_FALSE(error.IsError()) << Printable(name) << ": " << error.AsString();
            EXPECT_EQ(metadata, name) << Printable(name);
            int64_t pathFolderId = -1;
            if (name.find('\0') == std::string::npos) {  // a path cannot hold one
                ASSERT_FALSE(container.QueryFile(folder + name, pathFolderId, fileId).IsError()) << Printable(name);
                EXPECT_EQ(pathFolderId, folderId);
            }
        }
        // LIKE's wildcards are no wildcards here.
        int64_t fileId = -1;
        EXPECT_TRUE(FXErrorUtil::IsWin32(container.QueryFile(folderId, "%done", fileId), 1168));
        EXPECT_TRUE(FXErrorUtil::IsWin32(container.QueryFile(folderId, "Readm_", fileId), 1168));
    }
    ASSERT_FALSE(container.Close().IsError());

    // The listings, on the database itself.
    CX::CContentContainerDatabase database(file, true);
    FX::CSQLite3QueryPtr query;
    ASSERT_FALSE(database.QueryFolders(query).IsError());
    std::multiset<std::string> listed;
    for (; !query->Eof(); query->NextRow())
        listed.insert(query->GetStringField(1, ""));
    std::multiset<std::string> expected = {"/h/", "/q/"};
    for (const std::string& folder : FolderNames()) {
        expected.insert(folder);
        expected.insert("/queued" + folder);
    }
    EXPECT_EQ(listed, expected);
    int64_t folderId = -1;
    ASSERT_FALSE(database.QueryFolderId("/q/", folderId).IsError());
    ASSERT_FALSE(database.QueryFiles(folderId, query).IsError());
    std::multiset<std::string> files;
    for (; !query->Eof(); query->NextRow())
        files.insert(query->GetStringField(2, ""));
    const std::vector<std::string> names = FileNames();
    EXPECT_EQ(files, std::multiset<std::string>(names.begin(), names.end()));
}

// Records the comparison's events as "<kind> <path>".
class Recorder : public CX::CCompareContentContainersCallback {
public:
    CKoError OnFolderInIndex1(const string& name, const string&) override { return Add("folder1", name); }
    CKoError OnFolderInIndex2(const string& name, const string&) override { return Add("folder2", name); }
    CKoError OnFolderInBothIndexes(const string& name, const string& m1, const string& m2) override
    {
        return Add(m1 == m2 ? "folder=" : "folder~", name);
    }
    CKoError OnFileInIndex1(const string& path, const string&, const string&, const string&) override
    {
        return Add("file1", path);
    }
    CKoError OnFileInIndex2(const string& path, const string&, const string&, const string&) override
    {
        return Add("file2", path);
    }
    CKoError OnFileInBothIndexes(const string& path, const string&, const string&, const string& m1,
                                 const string& m2) override
    {
        return Add(m1 == m2 ? "file=" : "file~", path);
    }
    std::multiset<std::string> events;

private:
    CKoError Add(const char* kind, const std::string& path)
    {
        events.insert(std::string(kind) + " " + path);
        return CKoError::Success();
    }
};

TEST_F(HostileNameTest, ComparisonPairsEveryNameWithItsTwinOnly)
{
    // The current side lacks every third name and has the others; names that
    // differ only in case or in their Unicode form must never pair up.
    const std::vector<std::string> allFolders = FolderNames();
    const std::vector<std::string> allFiles = FileNames();
    std::vector<std::string> someFolders;
    std::vector<std::string> someFiles;
    for (size_t i = 0; i < allFolders.size(); ++i)
        if (i % 3 != 1)
            someFolders.push_back(allFolders[i]);
    for (size_t i = 0; i < allFiles.size(); ++i)
        if (i % 3 != 1)
            someFiles.push_back(allFiles[i]);
    const std::string previous = dir.File("previous.cx");
    Build(previous, allFolders, allFiles);
    Build(file, someFolders, someFiles);

    std::multiset<std::string> expected;
    auto expectFolders = [&](const std::string& prefix) {
        for (size_t i = 0; i < allFolders.size(); ++i)
            expected.insert((i % 3 != 1 ? "folder= " : "folder1 ") + prefix + allFolders[i]);
    };
    expectFolders("");
    expectFolders("/queued");
    expected.insert("folder= /h/");
    expected.insert("folder= /q/");
    for (const char* folder : {"/h/", "/q/"})
        for (size_t i = 0; i < allFiles.size(); ++i)
            expected.insert((i % 3 != 1 ? "file= " : "file1 ") + std::string(folder) + allFiles[i]);

    auto recorder = boost::make_shared<Recorder>();
    CKoError error = CX::CCompareContentContainers(file, previous, recorder).CompareDatabases();
    ASSERT_FALSE(error.IsError()) << error.AsString();
    EXPECT_EQ(recorder->events, expected);
}

class AncestorRecorder : public CX::CReviewContentContainerAncestorCallback {
public:
    CKoError OnAncestorMissing(const string& name, int64_t, const string&) override
    {
        reported.insert(name);
        return CKoError::Success();
    }
    std::multiset<std::string> reported;
};

TEST_F(HostileNameTest, ReviewReportsEachMissingAncestorOnceByteForByte)
{
    std::vector<std::string> folders;
    for (const std::string& component : Components())
        folders.push_back("/r/" + component + "/deeper/");
    Build(file, folders, {});
    // Present: the folders above, "/queued..." copies, "/h/" and "/q/". Missing:
    // "/", "/r/", every "/r/<component>/", "/queued/" and its "/queued/r/<...>/".
    std::multiset<std::string> expected = {"/", "/r/", "/queued/", "/queued/r/"};
    for (const std::string& component : Components()) {
        expected.insert("/r/" + component + "/");
        expected.insert("/queued/r/" + component + "/");
    }
    auto recorder = boost::make_shared<AncestorRecorder>();
    CKoError error = CX::CReviewContentContainer(file).CheckAncestors(recorder);
    ASSERT_FALSE(error.IsError()) << error.AsString();
    EXPECT_EQ(recorder->reported, expected);
}

// A folder name cannot hold a NUL byte: its collation would stop there and
// take two such names for one. Refused, where it would have been matched.
TEST_F(HostileNameTest, FolderNameWithANulByteIsRefused)
{
    CContentContainer container;
    ASSERT_FALSE(container.SetName(file).IsError());
    ASSERT_FALSE(container.ReplaceOrCreate().IsError());
    const std::string first("/a\0b/", 5);
    const std::string second("/a\0c/", 5);
    int64_t id = -1;
    EXPECT_TRUE(FXErrorUtil::IsWin32(container.InsertFolder(first, "", T(1), id), 87));
    EXPECT_TRUE(FXErrorUtil::IsWin32(container.QueryFolderId(second, id), 87));
    ASSERT_FALSE(container.OpenFolderQueue().IsError());
    EXPECT_TRUE(FXErrorUtil::IsWin32(container.AddFolderToQueue(second, "", T(1), id), 87));
    int64_t folderId = -1;
    int64_t fileId = -1;
    EXPECT_TRUE(FXErrorUtil::IsWin32(container.QueryFile(first + "file", folderId, fileId), 87));
    auto database = CX::CContentContainerTestAccess::Database(container);
    EXPECT_TRUE(FXErrorUtil::IsWin32(database->QueryOrInsertFolder(second, "", T(1), id), 87));
}

TEST_F(HostileNameTest, UniqueNameCheckKeepsEveryDistinctName)
{
    std::vector<std::string> names = FileNames();
    for (bool caseSensitive : {true, false}) {
        CX::CUniqueNameCheck check(caseSensitive);
        std::set<std::string> folded;  // the names as the checker should see them
        for (const std::string& name : names) {
            if (!caseSensitive && name.find('\0') != std::string::npos) {
                // NOCASE stops at a NUL: refused rather than misjudged.
                bool exists = true;
                EXPECT_TRUE(FXErrorUtil::IsWin32(check.CheckName(name, exists), 87)) << Printable(name);
                EXPECT_FALSE(exists);
                continue;
            }
            std::string key = name;
            if (!caseSensitive)
                for (char& c : key)
                    c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 0x20 : c);
            bool exists = true;
            CKoError error = check.CheckName(name, exists);
            ASSERT_FALSE(error.IsError()) << Printable(name) << ": " << error.AsString();
            EXPECT_EQ(exists, !folded.insert(key).second) << Printable(name) << ", case-sensitive " << caseSensitive;
            ASSERT_FALSE(check.CheckName(name, exists).IsError());
            EXPECT_TRUE(exists) << Printable(name);
        }
    }
}

}  // namespace
