// The attribute format: values with every kind of byte survive formatting and
// parsing, malformed texts are refused whole, and comparisons name exactly
// the attributes that changed.
#include "AttributeSet.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using CX::CAttributeSet;

struct RoundTrip {
    const char* what;
    std::string value;
    std::string text;  // the formatted attribute, key "K"
};

const std::vector<RoundTrip> kRoundTrips = {
    {"empty", "", "K=\"\""},
    {"plain", "file", "K=\"file\""},
    {"quotes", "a \"b\" \"", "K=\"a \\\"b\\\" \\\"\""},
    {"backslashes", "\\x41\\\\n\\", "K=\"\\\\x41\\\\\\\\n\\\\\""},
    {"line breaks and tabs", "a\nb\r\tc", "K=\"a\\nb\\r\\tc\""},
    {"other control bytes", std::string("\x01\x1b[2J\x7f", 6) + std::string(1, '\0'), "K=\"\\x01\\x1B[2J\\x7F\\x00\""},
    {"invalid UTF-8 kept as is", "\xC3\x28\xFF\xFE", "K=\"\xC3\x28\xFF\xFE\""},
    {"UTF-8 kept as is", "caf\xC3\xA9", "K=\"caf\xC3\xA9\""},
    {"a text that looks like another attribute", "x\" Evil=\"1", "K=\"x\\\" Evil=\\\"1\""},
    {"spaces and equals signs", " = ", "K=\" = \""},
};

TEST(AttributeSetTest, ValuesSurviveFormattingAndParsing)
{
    CAttributeSet all;
    for (size_t i = 0; i < kRoundTrips.size(); ++i) {
        const RoundTrip& row = kRoundTrips[i];
        CAttributeSet one;
        ASSERT_TRUE(one.Set("K", row.value).IsSuccess()) << row.what;
        EXPECT_EQ(one.Format(), row.text) << row.what;
        CAttributeSet parsed;
        ASSERT_TRUE(parsed.Parse(row.text).IsSuccess()) << row.what;
        std::string value;
        ASSERT_TRUE(parsed.Get("K", value)) << row.what;
        EXPECT_EQ(value, row.value) << row.what;
        EXPECT_EQ(parsed.Format(), row.text) << row.what;
        ASSERT_TRUE(all.Set("K" + std::to_string(i), row.value).IsSuccess());
    }
    CAttributeSet parsed;
    ASSERT_TRUE(parsed.Parse(all.Format()).IsSuccess());
    ASSERT_EQ(parsed.Attributes().size(), kRoundTrips.size());
    for (size_t i = 0; i < kRoundTrips.size(); ++i)
        EXPECT_EQ(parsed.Attributes()[i].value, kRoundTrips[i].value) << kRoundTrips[i].what;
    EXPECT_TRUE(parsed.Compare(all).empty());
}

TEST(AttributeSetTest, MalformedTextsAreRefusedWhole)
{
    const std::vector<std::string> texts = {
        "A=\"x",        "A=x",          "=\"x\"",         "A=\"x\"  B=\"y\"", "A=\"x\" ",   " A=\"x\"",
        "A=\"x\"B=\"y\"", "A B=\"x\"",    "A=\"\\q\"",      "A=\"\\x4\"",       "A=\"\\x4g\"", "A=\"x\\\"",
        "A\\=\"x\"",     "A\"=\"x\"",
    };
    for (const auto& text : texts) {
        CAttributeSet set;
        ASSERT_TRUE(set.Set("Kept", "1").IsSuccess());
        const CKoError error = set.Parse(text);
        EXPECT_TRUE(FXErrorUtil::IsWin32(error, KO_ERROR_INVALID_DATA)) << text;
        EXPECT_TRUE(set.Attributes().empty()) << text;
        std::vector<CX::SAttribute> attributes{{"Kept", "1"}};
        EXPECT_FALSE(CAttributeSet::Parse(text, attributes)) << text;
        EXPECT_TRUE(attributes.empty()) << text;
    }
    CAttributeSet empty;
    EXPECT_TRUE(empty.Parse("").IsSuccess());
    EXPECT_TRUE(empty.Attributes().empty());
}

TEST(AttributeSetTest, KeysThatWouldNotParseBackAreRefused)
{
    for (const std::string key : {"", "a b", "a=b", "a\"b", "a\\b"}) {
        CAttributeSet set;
        EXPECT_TRUE(FXErrorUtil::IsWin32(set.Set(key, "v"), KO_ERROR_INVALID_PARAMETER)) << key;
        EXPECT_TRUE(set.Attributes().empty()) << key;
    }
}

// Each change as key:old>new, "-" for a side that lacks the attribute.
std::string Changes(const std::string& older, const std::string& newer)
{
    CAttributeSet a;
    CAttributeSet b;
    EXPECT_TRUE(a.Parse(older).IsSuccess()) << older;
    EXPECT_TRUE(b.Parse(newer).IsSuccess()) << newer;
    std::string out;
    for (const auto& change : a.Compare(b))
        out += change.key + ":" + (change.inOld ? change.oldValue : "-") + ">" +
               (change.inNew ? change.newValue : "-") + " ";
    return out;
}

TEST(AttributeSetTest, ComparisonNamesWhatChanged)
{
    struct Row {
        const char* older;
        const char* newer;
        const char* changes;
    };
    const std::vector<Row> rows = {
        {"Type=\"file\" Mode=\"0644\"", "Type=\"file\" Mode=\"0644\"", ""},
        {"Type=\"file\" Mode=\"0644\" Size=\"1\"", "Type=\"file\" Mode=\"0600\" Size=\"2\"", "Mode:0644>0600 Size:1>2 "},
        {"A=\"1\" B=\"2\"", "C=\"3\" B=\"2\"", "A:1>- C:->3 "},
        {"A=\"\"", "", "A:>- "},
        {"", "A=\"\"", "A:-> "},
        {"A=\"1\" A=\"2\"", "A=\"1\"", ""},
        {"A=\"x\\ny\"", "A=\"x\\ry\"", "A:x\ny>x\ry "},
    };
    for (const Row& row : rows)
        EXPECT_EQ(Changes(row.older, row.newer), row.changes) << row.older << " -> " << row.newer;
}

TEST(AttributeSetTest, CopiesAreIndependent)
{
    CAttributeSet a;
    ASSERT_TRUE(a.Set("A", "1").IsSuccess());
    CAttributeSet b(a);
    ASSERT_TRUE(b.Set("A", "2").IsSuccess());
    CAttributeSet c;
    c = b;
    EXPECT_TRUE(c.Remove("A"));
    EXPECT_EQ(a.Format(), "A=\"1\"");
    EXPECT_EQ(b.Format(), "A=\"2\"");
    EXPECT_EQ(c.Format(), "");
}

}  // namespace
