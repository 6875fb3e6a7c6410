// The exclude rules of cx index: each kind of rule against paths it must and
// must not match, the rules read back from their recorded text, and the lines
// that are refused.
#include "ExcludeRules.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Case {
    std::vector<std::string> rules;
    std::string path;  // relative to DIR
    bool folder;
    bool excluded;
};

const std::vector<Case> kCases = {
    // A bare name, at any depth, file or folder.
    {{"logs"}, "logs", true, true},
    {{"logs"}, "a/b/logs", false, true},
    {{"logs"}, "a/logs2", false, false},
    {{"logs"}, "logs2/x", false, false},
    {{"*.o"}, "src/deep/x.o", false, true},
    {{"*.o"}, "src/x.oo", false, false},
    {{"?.c"}, "src/a.c", false, true},
    {{"?.c"}, "src/ab.c", false, false},
    {{"[ab].c"}, "b.c", false, true},
    {{"[!ab].c"}, "b.c", false, false},
    {{"*"}, ".hidden", false, true},
    // A trailing "/": folders only.
    {{"logs/"}, "logs", true, true},
    {{"logs/"}, "x/logs", true, true},
    {{"logs/"}, "logs", false, false},
    {{"src/build/"}, "src/build", true, true},
    {{"src/build/"}, "src/build", false, false},
    // A leading "/" or a "/" inside anchors at DIR.
    {{"/top"}, "top", false, true},
    {{"/top"}, "a/top", false, false},
    {{"src/*.o"}, "src/a.o", false, true},
    {{"src/*.o"}, "x/src/a.o", false, false},
    {{"src/*.o"}, "src/sub/a.o", false, false},  // "*" stops at "/"
    {{"/src/?"}, "src/a", false, true},
    {{"/src/?"}, "src/a/b", false, false},
    {{"*/src/*.o"}, "lib/src/a.o", false, true},
    {{"*/src/*.o"}, "src/a.o", false, false},
    {{"a//b"}, "a/b", false, true},
    // "**".
    {{"**/x"}, "x", false, true},
    {{"**/x"}, "a/b/c/x", true, true},
    {{"**/x"}, "a/b/x/c", false, false},
    {{"a/**/b"}, "a/b", false, true},
    {{"a/**/b"}, "a/x/y/b", false, true},
    {{"a/**/b"}, "a/x/y/c", false, false},
    {{"a/**/b"}, "x/a/b", false, false},
    {{"a/**"}, "a", true, false},
    {{"a/**"}, "a/x", false, true},
    {{"a/**"}, "a/x/y", false, true},
    {{"/**"}, "x", false, true},
    {{"**/a/**/b/**/c"}, "z/a/a/b/b/c", false, true},
    {{"**/a/**/b/**/c"}, "z/a/c/b", false, false},
    {{"a/**x"}, "a/yx", false, true},  // not a whole component: one "*"
    {{"a/**x"}, "a/y/x", false, false},
    // "!" takes back what an earlier rule excluded; the last match decides.
    {{"*.log", "!keep.log"}, "keep.log", false, false},
    {{"*.log", "!keep.log"}, "other.log", false, true},
    {{"!keep.log", "*.log"}, "keep.log", false, true},
    {{"!x"}, "x", false, false},
    // Escapes, comments, trailing spaces.
    {{"\\#x"}, "#x", false, true},
    {{"\\!x"}, "!x", false, true},
    {{"\\*"}, "a", false, false},
    {{"\\*"}, "*", false, true},
    {{"#x"}, "#x", false, false},
    {{"x  "}, "x", false, true},
    {{"x\\ "}, "x ", false, true},
    {{"x\\ "}, "x", false, false},
    {{""}, "x", false, false},
};

std::string Describe(const Case& item)
{
    std::string text;
    for (const auto& rule : item.rules)
        text += "[" + rule + "] ";
    return text + item.path + (item.folder ? "/" : "");
}

TEST(ExcludeRulesTest, Table)
{
    for (const Case& item : kCases) {
        CX::CExcludeRules rules;
        std::string problem;
        for (const auto& rule : item.rules)
            ASSERT_TRUE(rules.AddLine(rule, problem)) << Describe(item) << ": " << problem;
        EXPECT_EQ(rules.Excluded(item.path.c_str(), item.folder), item.excluded) << Describe(item);

        // The recorded text gives the same rules back.
        CX::CExcludeRules again;
        const std::string text = rules.Text();
        for (size_t start = 0; start < text.size();) {
            const size_t end = text.find('\n', start);
            ASSERT_TRUE(again.AddLine(text.substr(start, end - start), problem)) << problem;
            start = end + 1;
        }
        EXPECT_EQ(again.Text(), text) << Describe(item);
        EXPECT_EQ(again.Excluded(item.path.c_str(), item.folder), item.excluded) << Describe(item) << " read back";
    }
}

TEST(ExcludeRulesTest, RefusedLines)
{
    const std::vector<std::string> lines = {"/", "!", "!/", "//", "x\\", "a\nb", std::string("a\0b", 3)};
    for (const std::string& line : lines) {
        CX::CExcludeRules rules;
        std::string problem;
        EXPECT_FALSE(rules.AddLine(line, problem)) << line;
        EXPECT_FALSE(problem.empty()) << line;
        EXPECT_TRUE(rules.Empty()) << line;
    }
}

TEST(ExcludeRulesTest, FileSkipsCommentsAndBlankLinesAndNamesTheBadLine)
{
    char name[] = "/tmp/cx-rules-XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    const std::string text = "# build output\n\n*.o\r\n  \n!keep.o\nlogs/";
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    CX::CExcludeRules rules;
    std::string problem;
    EXPECT_TRUE(rules.AddFile(name, problem)) << problem;
    EXPECT_EQ(rules.Text(), "*.o\n!keep.o\nlogs/\n");
    EXPECT_TRUE(rules.Excluded("a/b.o", false));
    EXPECT_FALSE(rules.Excluded("keep.o", false));
    EXPECT_TRUE(rules.Excluded("x/logs", true));

    FILE* file = std::fopen(name, "a");
    ASSERT_NE(file, nullptr);
    std::fputs("\nok\nbad\\\n", file);
    std::fclose(file);
    CX::CExcludeRules bad;
    EXPECT_FALSE(bad.AddFile(name, problem));
    EXPECT_EQ(problem.rfind("line 8: ", 0), 0u) << problem;
    unlink(name);

    EXPECT_FALSE(bad.AddFile(name, problem));  // gone
    EXPECT_FALSE(problem.empty());
}

}  // namespace
