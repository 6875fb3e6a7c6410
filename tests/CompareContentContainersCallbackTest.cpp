// The default answers of the comparison callback: every event answers error 50
// from its own location and leaves `recurse` alone; IsAborted answers false.
#include "CompareContentContainersCallback.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace {

TEST(CompareContentContainersCallbackTest, DefaultsAnswerNotSupportedFromTheirOwnLocation)
{
    CX::CCompareContentContainersCallback callback;
    EXPECT_FALSE(callback.IsAborted());
    const string s = "x";
    bool recurse = false;
    const std::string prefix = "virtual CKoError CX::CCompareContentContainersCallback::";
    const std::vector<std::pair<std::function<CKoError()>, std::string>> cases = {
        {[&] { return callback.OnFolderInIndex1(s, s); }, "OnFolderInIndex1(const string&, const string&)"},
        {[&] { return callback.OnFolderInIndex1(s, s, recurse); },
         "OnFolderInIndex1(const string&, const string&, bool&)"},
        {[&] { return callback.OnFileInIndex1(s, s, s, s); },
         "OnFileInIndex1(const string&, const string&, const string&, const string&)"},
        {[&] { return callback.OnFolderInIndex2(s, s); }, "OnFolderInIndex2(const string&, const string&)"},
        {[&] { return callback.OnFolderInIndex2(s, s, recurse); },
         "OnFolderInIndex2(const string&, const string&, bool&)"},
        {[&] { return callback.OnFileInIndex2(s, s, s, s); },
         "OnFileInIndex2(const string&, const string&, const string&, const string&)"},
        {[&] { return callback.OnFolderInBothIndexes(s, s, s); },
         "OnFolderInBothIndexes(const string&, const string&, const string&)"},
        {[&] { return callback.OnFolderInBothIndexes(s, s, s, recurse); },
         "OnFolderInBothIndexes(const string&, const string&, const string&, bool&)"},
        {[&] { return callback.OnFileInBothIndexes(s, s, s, s, s); },
         "OnFileInBothIndexes(const string&, const string&, const string&, const string&, const string&)"},
    };
    for (const auto& [call, function] : cases) {
        const CKoError error = call();
        EXPECT_TRUE(FXErrorUtil::IsWin32(error, 50)) << function;
        ASSERT_EQ(error.Entries().size(), 1u) << function;
        EXPECT_EQ(error.Entries()[0].file, "CompareContentContainersCallback");
        EXPECT_EQ(error.Entries()[0].function, prefix + function);
        EXPECT_EQ(error.Entries()[0].message, "");
    }
    EXPECT_FALSE(recurse);
    recurse = true;
    callback.OnFolderInBothIndexes(s, s, s, recurse);
    EXPECT_TRUE(recurse);
}

}  // namespace
