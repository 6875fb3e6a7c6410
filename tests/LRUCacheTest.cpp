// The LRU cache: loading, eviction at capacity, recency, failures not cached.
#include "LRUCache.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Loads {
    std::vector<std::string> keys;
    bool fail = false;
};

LRUCache<std::string, int> MakeCache(uint64_t capacity, Loads& loads)
{
    return LRUCache<std::string, int>(capacity, [&loads](const std::string& key, int& value) -> CKoError {
        loads.keys.push_back(key);
        if (loads.fail)
            return FXErrorUtil::ErrorWin32(FX_LOCATION, 1168);
        value = static_cast<int>(key.size());
        return CKoError::Success();
    });
}

TEST(LRUCacheTest, MissLoadsOnceThenHits)
{
    Loads loads;
    auto cache = MakeCache(3, loads);
    int value = 0;
    ASSERT_FALSE(cache.Get("abc", value).IsError());
    EXPECT_EQ(value, 3);
    value = 0;
    ASSERT_FALSE(cache.Get("abc", value).IsError());
    EXPECT_EQ(value, 3);
    EXPECT_EQ(loads.keys, (std::vector<std::string>{"abc"}));
}

TEST(LRUCacheTest, FullCacheDropsTheLeastRecentlyUsed)
{
    Loads loads;
    auto cache = MakeCache(2000, loads);
    int value = 0;
    for (int i = 0; i < 2000; ++i)
        ASSERT_FALSE(cache.Get("k" + std::to_string(i), value).IsError());
    EXPECT_EQ(cache.Size(), 2000u);
    ASSERT_FALSE(cache.Get("k0", value).IsError());  // a hit makes k0 the most recent
    ASSERT_FALSE(cache.Get("k2000", value).IsError());
    EXPECT_EQ(cache.Size(), 2000u);
    EXPECT_TRUE(cache.Contains("k0"));
    EXPECT_FALSE(cache.Contains("k1"));  // the least recently used went
    EXPECT_TRUE(cache.Contains("k2"));
    loads.keys.clear();
    ASSERT_FALSE(cache.Get("k1", value).IsError());
    EXPECT_EQ(loads.keys, (std::vector<std::string>{"k1"}));
    EXPECT_FALSE(cache.Contains("k2"));
}

TEST(LRUCacheTest, FailedLoadsAreNotCachedAndCarryTheCacheEntry)
{
    Loads loads;
    loads.fail = true;
    auto cache = MakeCache(4, loads);
    int value = 0;
    CKoError error = cache.Get("x", value);
    ASSERT_TRUE(FXErrorUtil::IsWin32(error, 1168));
    ASSERT_EQ(error.Entries().size(), 2u);
    EXPECT_EQ(error.Entries()[1].file, "source/common/KoUtils/LRUCache");
#if defined(__clang__)  // the two compilers name templates apart
    EXPECT_EQ(error.Entries()[1].function,
              "CKoError LRUCache<std::basic_string<char>, int>::Get(const K&, V&) [K = std::basic_string<char>, V = int]");
#else
    EXPECT_EQ(error.Entries()[1].function,
              "CKoError LRUCache<K, V>::Get(const K&, V&) [with K = std::__cxx11::basic_string<char>; V = int]");
#endif
    EXPECT_TRUE(cache.Get("x", value).IsError());
    EXPECT_EQ(loads.keys.size(), 2u);
    EXPECT_EQ(cache.Size(), 0u);
}

TEST(LRUCacheTest, PutOfACachedKeyKeepsOneEntry)
{
    Loads loads;
    auto cache = MakeCache(2, loads);
    int value = 7;
    cache.Put("a", value);
    value = 8;
    cache.Put("b", value);
    value = 9;
    cache.Put("a", value);  // replaces and refreshes "a"
    EXPECT_EQ(cache.Size(), 2u);
    value = 1;
    cache.Put("c", value);  // evicts "b", the least recent
    EXPECT_TRUE(cache.Contains("a"));
    EXPECT_FALSE(cache.Contains("b"));
    ASSERT_FALSE(cache.Get("a", value).IsError());
    EXPECT_EQ(value, 9);
    EXPECT_TRUE(loads.keys.empty());
}

}  // namespace
