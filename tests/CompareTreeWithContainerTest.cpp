// The comparison of a live tree with a container as the walk goes must tell
// the host exactly what indexing the tree into a second container and
// comparing the two would: the same events in the same order, for hosts that
// implement any set of forms, steer recursion, fail or cancel.
#include "CompareContentContainers.h"
#include "CompareRebasedContainers.h"
#include "CompareRecorder.h"
#include "CompareTreeWithContainer.h"
#include "ContentContainerDatabase.h"
#include "TestSupport.h"
#include "TreeIndexer.h"

#include <boost/make_shared.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

class CompareTreeWithContainerTest : public TempDirTest {
protected:
    void SetUp() override
    {
        tree = dir.File("tree");
        for (const char* folder : {"", "/a", "/a/deep", "/b", "/gone", "/gone/inner", "/z"})
            ASSERT_EQ(0, mkdir((tree + folder).c_str(), 0755));
        for (const char* file : {"/top", "/a/x", "/a/y", "/a/deep/d", "/b/kept", "/gone/g", "/gone/inner/i", "/z/zz"})
            WriteFileBytes(tree + file, file);
        Index(dir.File("old.cx"));
        // What changes: a file added, one removed, one changed, a folder gone
        // with what it held, a folder added with a file.
        WriteFileBytes(tree + "/a/new", "new");
        ASSERT_EQ(0, unlink((tree + "/a/y").c_str()));
        WriteFileBytes(tree + "/b/kept", "changed, longer");
        for (const char* path : {"/gone/inner/i", "/gone/g"})
            ASSERT_EQ(0, unlink((tree + path).c_str()));
        for (const char* path : {"/gone/inner", "/gone"})
            ASSERT_EQ(0, rmdir((tree + path).c_str()));
        ASSERT_EQ(0, mkdir((tree + "/c").c_str(), 0755));
        WriteFileBytes(tree + "/c/f", "f");
        Index(dir.File("new.cx"));
    }

    void Index(const std::string& container)
    {
        CX::CContentContainerDatabase db(container);
        CX::CTreeIndexer indexer;
        CX::STreeIndexerCounts counts;
        ASSERT_FALSE(indexer.Index(db, tree, counts).IsError());
    }

    // The events of both comparisons for hosts made by `configure`, and
    // their outcomes' codes.
    void ExpectSameEvents(const std::function<void(Recorder&)>& configure, int period = 0)
    {
        ExpectSameEvents(configure, period, [this](const boost::shared_ptr<Recorder>& host, const boost::shared_ptr<CBag>& bag) {
            CX::CCompareTreeWithContainer walk(dir.File("old.cx"), tree, host);
            walk.SetConfigurationBag(bag);
            CX::STreeIndexerCounts counts;
            return walk.Compare(counts);
        });
    }

    void ExpectSameEvents(const std::function<void(Recorder&)>& configure, int period,
                          const std::function<CKoError(const boost::shared_ptr<Recorder>&, const boost::shared_ptr<CBag>&)>& run)
    {
        auto bag = boost::make_shared<CBag>();
        if (period > 0)
            bag->Set("AbortCheckPeriod::CCC", static_cast<long>(period));
        auto two = boost::make_shared<Recorder>();
        configure(*two);
        CX::CCompareContentContainers containers(dir.File("new.cx"), dir.File("old.cx"), two);
        containers.SetConfigurationBag(bag);
        const CKoError expected = containers.CompareDatabases();

        auto live = boost::make_shared<Recorder>();
        configure(*live);
        const CKoError actual = run(live, bag);

        EXPECT_FALSE(two->events.empty());
        EXPECT_EQ(two->events, live->events);
        EXPECT_EQ(FXErrorUtil::Win32Code(expected), FXErrorUtil::Win32Code(actual)) << actual.AsString();
    }

    std::string tree;
};

TEST_F(CompareTreeWithContainerTest, ReportsWhatIndexingAndComparingWould)
{
    ExpectSameEvents([](Recorder&) {});
}

TEST_F(CompareTreeWithContainerTest, HostsOfEveryKindHearTheSame)
{
    SCOPED_TRACE("implementing nothing");
    ExpectSameEvents([](Recorder& host) { host.implemented = 0; });
    SCOPED_TRACE("steering recursion: one-sided and common folders passed over");
    ExpectSameEvents([](Recorder& host) {
        host.implemented = Recorder::F1R | Recorder::F2R | Recorder::BR | Recorder::File1 | Recorder::File2 |
                           Recorder::FileB;
        host.steer = [](const string& folder, bool& recurse) {
            recurse = folder.find("/gone/") == std::string::npos && folder.find("/c/") == std::string::npos &&
                      folder.find("/a/") == std::string::npos;
        };
    });
    for (int call = 1; call <= 12; ++call) {
        SCOPED_TRACE("failing at call " + std::to_string(call));
        ExpectSameEvents([call](Recorder& host) { host.failOnCall = call; });
    }
    SCOPED_TRACE("cancelling at the third check of a period of one");
    ExpectSameEvents([](Recorder& host) { host.abortOnCheck = 3; }, 1);
}

// Two containers compared by the paths below one folder of each: with the
// same folder on both sides, exactly the comparison of the two containers.
TEST_F(CompareTreeWithContainerTest, RebasedContainersOfOneFolderReportAsTheirComparison)
{
    const auto rebased = [this](const boost::shared_ptr<Recorder>& host, const boost::shared_ptr<CBag>& bag) {
        CX::CCompareRebasedContainers containers(dir.File("new.cx"), tree + "/", dir.File("old.cx"), tree + "/", host);
        containers.SetConfigurationBag(bag);
        return containers.CompareDatabases();
    };
    ExpectSameEvents([](Recorder&) {}, 0, rebased);
    for (int call = 1; call <= 12; ++call)
        ExpectSameEvents([call](Recorder& host) { host.failOnCall = call; }, 0, rebased);
}

}  // namespace
