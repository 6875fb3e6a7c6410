// Files that are no sound container, handed to every way into one: the four
// open modes, either side of a comparison and both reviews. Each runs in a
// child process with a deadline, so a crash or a hang fails the test instead
// of ending or stalling the suite. A file of another program must come back
// refused, byte for byte as it was and with nothing left beside it. Sound
// containers come in too, where reading them used to go wrong: lacking a
// schema object, or in a folder the reader cannot write.
#include "CompareContentContainers.h"
#include "ContainerFiles.h"
#include "ContentContainer.h"
#include "ContentContainerDatabase.h"
#include "ReviewContentContainer.h"
#include "TestSupport.h"

#include <boost/make_shared.hpp>
#include <grp.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <random>
#include <vector>

namespace {

CTimeStamp T(int64_t ticks) { return CTimeStamp::FromSystemTime(ticks); }

// How a way in ended: "ok", "error <text>", or what went wrong with the child.
struct Outcome {
    bool finished = false;  // neither crashed nor hung
    bool failed = false;    // answered an error
    std::string text;
};

// Runs `action` in a child process that must finish within `seconds`; as the
// user nobody when `unprivileged` is set and the test runs as root.
Outcome InChild(const std::function<CKoError()>& action, bool unprivileged = false, unsigned seconds = 10)
{
    int channel[2];
    if (pipe(channel) != 0)
        return {false, false, "pipe failed"};
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        alarm(seconds);
        std::string answer;
        constexpr uid_t kNobody = 65534;
        const bool asNobody = unprivileged && geteuid() == 0;
        if (asNobody && (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)) {
            answer = "Xcannot become the user nobody";
        } else {
            try {
                CKoError error = action();
                answer = error.IsError() ? "E" + error.AsString() : "S";
            } catch (const std::exception& exception) {
                answer = std::string("Xexception: ") + exception.what();
            }
        }
        (void)!write(channel[1], answer.data(), answer.size());
        _exit(0);
    }
    close(channel[1]);
    std::string answer;
    char buffer[4096];
    for (ssize_t got; (got = read(channel[0], buffer, sizeof buffer)) > 0;)
        answer.append(buffer, static_cast<size_t>(got));
    close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFSIGNALED(status))
        return {false, false, WTERMSIG(status) == SIGALRM ? "hung" : "killed by signal " + std::to_string(WTERMSIG(status))};
    if (answer.empty() || answer[0] == 'X')
        return {false, false, answer.empty() ? "no answer" : answer.substr(1)};
    return {true, answer[0] == 'E', answer[0] == 'E' ? answer.substr(1) : "ok"};
}

class NullCompareCallback : public CX::CCompareContentContainersCallback {};
class NullReviewCallback : public CX::CReviewContentContainerAncestorCallback {};

// One way into a container file. `writes` is true for the ways that open it
// read-write (and so may turn an empty file into a container).
struct WayIn {
    const char* name;
    bool writes;
    std::function<CKoError(const std::string& file, const std::string& other)> run;
};

CKoError OpenWith(const std::string& file, CKoError (CX::CContentContainer::*open)())
{
    CX::CContentContainer container;
    CKoError error = container.SetName(file);
    if (!error.IsError())
        error = (container.*open)();
    if (!error.IsError())
        error = container.Close();
    return error;
}

const std::vector<WayIn>& WaysIn()
{
    static const std::vector<WayIn> ways = {
        {"OpenExisting", true,
         [](const std::string& file, const std::string&) { return OpenWith(file, &CX::CContentContainer::OpenExisting); }},
        {"OpenExistingReadOnly", false,
         [](const std::string& file, const std::string&) {
             return OpenWith(file, &CX::CContentContainer::OpenExistingReadOnly);
         }},
        {"OpenExistingOrCreate", true,
         [](const std::string& file, const std::string&) {
             return OpenWith(file, &CX::CContentContainer::OpenExistingOrCreate);
         }},
        {"comparison, previous side", false,
         [](const std::string& file, const std::string& other) {
             return CX::CCompareContentContainers(other, file, boost::make_shared<NullCompareCallback>())
                 .CompareDatabases();
         }},
        {"comparison, current side", false,
         [](const std::string& file, const std::string& other) {
             return CX::CCompareContentContainers(file, other, boost::make_shared<NullCompareCallback>())
                 .CompareDatabases();
         }},
        {"CheckAncestors", false,
         [](const std::string& file, const std::string&) {
             return CX::CReviewContentContainer(file).CheckAncestors(boost::make_shared<NullReviewCallback>());
         }},
        {"CheckCollectAncestors", false,
         [](const std::string& file, const std::string&) {
             return CX::CReviewContentContainer(file).CheckCollectAncestors(boost::make_shared<NullReviewCallback>());
         }},
    };
    return ways;
}

// What is beside a file: the names in its folder that start with its name.
std::vector<std::string> Beside(const std::string& file)
{
    std::vector<std::string> names;
    const std::filesystem::path path(file);
    for (const auto& entry : std::filesystem::directory_iterator(path.parent_path())) {
        const std::string name = entry.path().filename().string();
        if (name != path.filename().string() && name.rfind(path.filename().string(), 0) == 0)
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The content of a regular file; for anything else, what it is (reading a
// FIFO would wait for a writer).
std::string Snapshot(const std::string& path)
{
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0)
        return "<absent>";
    if (S_ISREG(status.st_mode))
        return ReadFileBytes(path);
    if (S_ISLNK(status.st_mode))
        return "<link to " + std::filesystem::read_symlink(path).string() + ">";
    return S_ISDIR(status.st_mode) ? "<directory>" : "<special file>";
}

void RunSql(const std::string& file, const std::string& sql)
{
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    char* message = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
    EXPECT_EQ(rc, SQLITE_OK) << (message ? message : "") << " " << sql;
    sqlite3_free(message);
    sqlite3_close(db);
}

class BadContainerFileTest : public TempDirTest {
protected:
    void SetUp() override
    {
        good = dir.File("good.cx");
        CX::CContentContainerDatabase database(good, false);
        ASSERT_FALSE(database.GetConstructionError().IsError());
        FX::CDatabaseTransaction transaction(&database, 0);
        for (int i = 0; i < 200; ++i) {
            int64_t id = -1;
            ASSERT_FALSE(database.InsertFolder("/f/" + std::to_string(i) + "/", "m", T(i), id).IsError());
            for (int j = 0; j < 5; ++j) {
                int64_t fileId = -1;
                ASSERT_FALSE(
                    database.InsertOrUpdateFile(id, "file" + std::to_string(j), "Collect=\"true\"", T(j), fileId)
                        .IsError());
            }
        }
    }

    // A fresh copy of `bytes` under a name of its own, for one way in.
    std::string Copy(const std::string& bytes, const std::string& suffix = "")
    {
        const std::string file = dir.File("bad" + std::to_string(++copies) + ".cx" + suffix);
        WriteFileBytes(file, bytes);
        return file;
    }

    // Hands `make()`'s file to every way in. A foreign file must be refused by
    // each, and stay as it was with nothing beside it; any other must at least
    // not crash or hang, and a way that only reads must leave it unchanged.
    void ExpectEveryWayCopes(const std::string& what, const std::function<std::string()>& make, bool foreign)
    {
        for (const WayIn& way : WaysIn()) {
            const std::string file = make();
            const std::string before = Snapshot(file);
            const std::vector<std::string> besideBefore = Beside(file);
            const Outcome outcome = InChild([&] { return way.run(file, good); }, unprivileged);
            const std::string where = what + ", " + way.name + ": " + outcome.text;
            EXPECT_TRUE(outcome.finished) << where;
            if (foreign) {
                EXPECT_TRUE(outcome.failed) << where;
                EXPECT_EQ(Snapshot(file), before) << where;
                EXPECT_EQ(Beside(file), besideBefore) << where;
            } else if (!way.writes) {
                EXPECT_EQ(Snapshot(file), before) << where;
            }
        }
    }

    std::string good;
    int copies = 0;
    bool unprivileged = false;  // the ways in run as the user nobody
};

TEST_F(BadContainerFileTest, RandomBytesAndTruncatedFiles)
{
    std::string noise(3 * 4096, '\0');
    std::mt19937 random(7);
    for (char& byte : noise)
        byte = static_cast<char>(random());
    ExpectEveryWayCopes("random bytes", [&] { return Copy(noise); }, true);

    const std::string whole = ReadFileBytes(good);
    ASSERT_GT(whole.size(), 3 * 4096u);
    ExpectEveryWayCopes("truncated in the header", [&] { return Copy(whole.substr(0, 60)); }, false);
    ExpectEveryWayCopes("truncated in a page", [&] { return Copy(whole.substr(0, 2 * 4096 + 1000)); }, false);
    ExpectEveryWayCopes("empty", [&] { return Copy(""); }, false);
}

TEST_F(BadContainerFileTest, BitFlipsInAPageAndInTheLog)
{
    const std::string whole = ReadFileBytes(good);
    std::mt19937 random(11);
    for (int round = 0; round < 3; ++round) {
        std::string flipped = whole;
        for (int i = 0; i < 8; ++i) {
            const size_t at = 4096 + random() % (flipped.size() - 4096);  // past the first page
            flipped[at] = static_cast<char>(flipped[at] ^ (1u << (random() % 8)));
        }
        ExpectEveryWayCopes("bit flips in a page", [&] { return Copy(flipped); }, false);
    }

    // A container whose last writes are still in its log: copied while its
    // writer holds it open.
    const std::string logged = dir.File("logged.cx");
    std::string main;
    std::string log;
    {
        CX::CContentContainerDatabase database(logged, false);
        int64_t id = -1;
        for (int i = 0; i < 50; ++i)
            ASSERT_FALSE(database.InsertFolder("/w/" + std::to_string(i) + "/", "", T(1), id).IsError());
        main = ReadFileBytes(logged);
        log = ReadFileBytes(logged + "-wal");
    }
    ASSERT_GT(log.size(), 32u);
    for (int round = 0; round < 3; ++round) {
        std::string flipped = log;
        for (int i = 0; i < 4; ++i) {
            const size_t at = 32 + random() % (flipped.size() - 32);
            flipped[at] = static_cast<char>(flipped[at] ^ (1u << (random() % 8)));
        }
        ExpectEveryWayCopes("bit flips in the log",
                            [&] {
                                const std::string file = Copy(main);
                                WriteFileBytes(file + "-wal", flipped);
                                return file;
                            },
                            false);
    }
}

TEST_F(BadContainerFileTest, AnotherProgramsDatabaseIsRefusedUntouched)
{
    const std::string other = dir.File("other.db");
    RunSql(other, "CREATE TABLE Accounts (Id INTEGER PRIMARY KEY, Name TEXT); INSERT INTO Accounts VALUES (1, 'a');");
    ExpectEveryWayCopes("another program's database", [&] { return Copy(ReadFileBytes(other)); }, true);

    const std::string walOther = dir.File("wal-other.db");
    RunSql(walOther, "PRAGMA journal_mode=WAL; CREATE TABLE Accounts (Id, Name); INSERT INTO Accounts VALUES (1, 'a');");
    ExpectEveryWayCopes("another program's database in WAL mode", [&] { return Copy(ReadFileBytes(walOther)); },
                        true);

    // Names that mean something in an SQLite URI, and a path starting "//".
    for (const std::string& name : {dir.File("odd ?mode=rwc#%41&name.db"), "/" + dir.File("slashes.db")}) {
        const std::string bytes = ReadFileBytes(walOther);
        WriteFileBytes(name, bytes);
        const Outcome outcome = InChild([&] { return WaysIn()[1].run(name, good); });  // read-only
        EXPECT_TRUE(outcome.failed) << name << ": " << outcome.text;
        EXPECT_EQ(ReadFileBytes(name), bytes) << name;
        EXPECT_EQ(Beside(name), std::vector<std::string>{}) << name;
    }

    const std::string reused = dir.File("reused.db");
    RunSql(reused, "CREATE TABLE Folders (Name TEXT, Size INTEGER); CREATE TABLE Files (Path TEXT);");
    ExpectEveryWayCopes("our table names with other columns", [&] { return Copy(ReadFileBytes(reused)); }, true);

    // Our columns in other case: SQLite accepts the statements, but the
    // listings look their columns up by name.
    const std::string lower = dir.File("lower.db");
    RunSql(lower, "CREATE TABLE Folders (folderid INTEGER PRIMARY KEY, foldername VARCHAR, metadata VARCHAR, "
                  "recordcreatetime BIGINT, recordupdatetime BIGINT);");
    ExpectEveryWayCopes("our columns in other case", [&] { return Copy(ReadFileBytes(lower)); }, true);
}

// The answer of a COUNT query on the file as it lies (-1: none).
int CountAsItLies(const std::string& file, const std::string& query)
{
    sqlite3* db = nullptr;
    int count = -1;
    if (sqlite3_open_v2(("file:" + file + "?immutable=1").c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI,
                        nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, query.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW)
            count = sqlite3_column_int(statement, 0);
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return count;
}

// A writer died half way through giving another program's Folders table our
// columns, after its cache had spilled the new schema into the file: the
// file as it lies looks like a container, its journal makes it the other
// program's database again. A way in rolls the journal back as it starts
// reading, and must then see what it holds before it adds anything.
TEST_F(BadContainerFileTest, AJournalThatRestoresAnotherProgramsDatabaseIsSeen)
{
    const std::string crashed = dir.File("crashed.db");
    std::string schema;
    for (int i = 0; i < 300; ++i)  // a schema of many pages, of which the last is written early
        schema += "CREATE TABLE T" + std::to_string(i) + " (x);";
    RunSql(crashed, schema + "CREATE TABLE Folders (FolderId, Wrong); CREATE TABLE Files (FileId, FolderId, "
                             "FileName, Metadata, RecordCreateTime, RecordUpdateTime); CREATE TABLE Big (x);");
    std::fflush(nullptr);
    const pid_t writer = fork();
    if (writer == 0) {
        sqlite3* db = nullptr;
        sqlite3_open(crashed.c_str(), &db);
        sqlite3_exec(db,
                     "PRAGMA cache_size=2; BEGIN; DROP TABLE Folders; CREATE TABLE Folders (FolderId, FolderName, "
                     "Metadata, RecordCreateTime, RecordUpdateTime);",
                     nullptr, nullptr, nullptr);
        sqlite3_stmt* insert = nullptr;
        sqlite3_prepare_v2(db, "INSERT INTO Big VALUES (?1);", -1, &insert, nullptr);
        const std::string row(1000, 'y');
        for (int i = 0; i < 2000; ++i) {
            sqlite3_bind_text(insert, 1, row.c_str(), static_cast<int>(row.size()), SQLITE_STATIC);
            sqlite3_step(insert);
            sqlite3_reset(insert);
        }
        _exit(0);  // no commit, no rollback
    }
    int status = 0;
    ASSERT_EQ(waitpid(writer, &status, 0), writer);
    const std::string main = ReadFileBytes(crashed);
    const std::string journal = ReadFileBytes(crashed + "-journal");
    ASSERT_FALSE(journal.empty());
    ASSERT_EQ(CountAsItLies(crashed, "SELECT COUNT(*) FROM pragma_table_info('Folders') WHERE name='FolderName';"), 1);
    const std::string ours = "SELECT COUNT(*) FROM sqlite_master WHERE name IN "
                             "('Storage','index_folders_foldername','FullyQualifiedFiles');";

    for (const WayIn& way : WaysIn()) {
        const std::string file = Copy(main);
        WriteFileBytes(file + "-journal", journal);
        const Outcome outcome = InChild([&] { return way.run(file, good); });
        EXPECT_TRUE(outcome.finished && outcome.failed) << way.name << ": " << outcome.text;
        // Nothing of a container's was added to the other program's database.
        EXPECT_EQ(CountAsItLies(file, ours), 0) << way.name;
    }
}

// An empty file, and a container whose creation was cut short after its
// first table, become containers in every mode that writes.
TEST_F(BadContainerFileTest, EmptyAndHalfCreatedFilesBecomeContainers)
{
    const std::string half = dir.File("half.cx");
    RunSql(half, "CREATE TABLE Storage (Key VARCHAR PRIMARY KEY, Value VARCHAR);");
    for (const std::string& bytes : {std::string(), ReadFileBytes(half)}) {
        for (const WayIn& way : WaysIn()) {
            if (!way.writes)
                continue;
            const std::string file = Copy(bytes);
            const Outcome outcome = InChild([&] { return way.run(file, good); }, unprivileged);
            EXPECT_TRUE(outcome.finished && !outcome.failed) << way.name << ": " << outcome.text;
            EXPECT_EQ(IntegrityCheck(file), "ok") << way.name;
            EXPECT_EQ(StoredFolderNames(file), std::set<std::string>{}) << way.name;
        }
    }
}

// A container lacking the storage table or the view is still one: the ways
// that write add what is missing, the ways that only read do without it.
TEST_F(BadContainerFileTest, ContainersWithoutTheStorageTableOrTheViewOpenEverywhere)
{
    for (const char* sql : {"DROP TABLE Storage;", "DROP VIEW FullyQualifiedFiles;"}) {
        const std::string lacking = Copy(ReadFileBytes(good));
        RunSql(lacking, sql);
        for (const WayIn& way : WaysIn()) {
            const std::string file = Copy(ReadFileBytes(lacking));
            const Outcome outcome = InChild([&] { return way.run(file, good); });
            EXPECT_TRUE(outcome.finished && !outcome.failed) << sql << " " << way.name << ": " << outcome.text;
            EXPECT_EQ(StoredFolderNames(file).size(), 200u) << sql << " " << way.name;
        }
    }
}

// Every way that only reads takes a sound container as it lies, in WAL or
// rollback-journal mode: in a folder the reader cannot write (as the user
// nobody when the test runs as root), changing no byte and leaving nothing
// beside it.
TEST_F(BadContainerFileTest, ReadersLeaveASoundContainerAsItIs)
{
    const std::string journalled = Copy(ReadFileBytes(good));
    RunSql(journalled, "PRAGMA journal_mode=DELETE;");
    ASSERT_EQ(Beside(good), std::vector<std::string>{});
    const std::vector<std::string> files = {good, journalled};
    std::vector<std::string> before;
    for (const std::string& file : files) {
        ASSERT_EQ(chmod(file.c_str(), 0644), 0);
        before.push_back(ReadFileBytes(file));
    }
    unprivileged = geteuid() == 0;
    ASSERT_EQ(chmod(dir.Path().c_str(), 0555), 0);
    for (const WayIn& way : WaysIn()) {
        if (way.writes)
            continue;
        for (size_t i = 0; i < files.size(); ++i) {
            const Outcome outcome = InChild([&] { return way.run(files[i], good); }, unprivileged);
            const std::string where = files[i] + ", " + way.name + ": " + outcome.text;
            EXPECT_TRUE(outcome.finished && !outcome.failed) << where;
            EXPECT_EQ(ReadFileBytes(files[i]), before[i]) << where;
            EXPECT_EQ(Beside(files[i]), std::vector<std::string>{}) << where;
            EXPECT_EQ(Beside(good), std::vector<std::string>{}) << where;
        }
    }
    ASSERT_EQ(chmod(dir.Path().c_str(), 0700), 0);
}

TEST_F(BadContainerFileTest, DirectoryFifoAndSymlinkLoop)
{
    // Replacing means deleting a file, never a directory.
    const std::string folder = dir.File("folder.cx");
    std::filesystem::create_directory(folder);
    EXPECT_TRUE(InChild([&] { return OpenWith(folder, &CX::CContentContainer::ReplaceOrCreate); }).failed);
    EXPECT_TRUE(std::filesystem::is_directory(folder));

    ExpectEveryWayCopes("a directory",
                        [&] {
                            const std::string path = dir.File("folder" + std::to_string(++copies) + ".cx");
                            std::filesystem::create_directory(path);
                            return path;
                        },
                        true);
    ExpectEveryWayCopes("a FIFO",
                        [&] {
                            const std::string path = dir.File("fifo" + std::to_string(++copies) + ".cx");
                            EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
                            return path;
                        },
                        true);
    ExpectEveryWayCopes("a symbolic link loop",
                        [&] {
                            const std::string path = dir.File("loop" + std::to_string(++copies) + ".cx");
                            std::filesystem::create_symlink(path, path);
                            return path;
                        },
                        true);
}

TEST_F(BadContainerFileTest, UnreadableFile)
{
    if (geteuid() == 0) {
        // Root reads any file: the ways in run as nobody, who may pass
        // through the folder and read the good container, but not the file.
        unprivileged = true;
        ASSERT_EQ(chmod(dir.Path().c_str(), 0711), 0);
        ASSERT_EQ(chmod(good.c_str(), 0644), 0);
    }
    ExpectEveryWayCopes("a file without read permission",
                        [&] {
                            const std::string file = Copy(ReadFileBytes(good));
                            chmod(file.c_str(), 0200);
                            return file;
                        },
                        true);
}

}  // namespace
