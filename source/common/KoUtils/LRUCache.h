// LRUCache<K, V>: a fixed-capacity map that forgets its least recently used
// key first, filling misses through a loader.
//
// Invariants, at every return:
//   - every key in `entries` appears exactly once in `usageOrder`, and the
//     position stored with it is that key's node;
//   - `usageOrder` runs from least recently used (front) to most recently
//     used (back);
//   - usageOrder.size() == entries.size() <= capacity.
// Failed loads are not cached. Not thread-safe: callers lock around it.
#pragma once

#include "KoError.h"

#include <cstdint>
#include <functional>
#include <list>
#include <unordered_map>
#include <utility>

template <class K, class V>
class LRUCache {
public:
    typedef std::function<CKoError(const K&, V&)> Loader;

    LRUCache(uint64_t capacity, Loader loader) : loader(std::move(loader)), capacity(capacity) {}
    ~LRUCache() = default;
    LRUCache(const LRUCache&) = delete;
    LRUCache& operator=(const LRUCache&) = delete;

    // The value of `key`: from the cache (which makes it the most recently
    // used), or from the loader on a miss.
    CKoError Get(const K& key, V& value)
    {
        const auto found = entries.find(key);
        if (found != entries.end()) {
            usageOrder.splice(usageOrder.end(), usageOrder, found->second.second);
            value = found->second.first;
            return CKoError::Success();
        }
        CKoError error = loader(key, value);
        if (error.IsError())
            return error.Push(FX_LOCATION_IN("source/common/KoUtils/LRUCache"));
        insert(key, value);
        return CKoError::Success();
    }

    // Stores a copy of `value` under `key`; a key already cached gets the new
    // value and becomes the most recently used.
    CKoError Put(const K& key, V& value)
    {
        insert(key, value);
        return CKoError::Success();
    }

    // Calls `visit(key, value)` for every cached entry; the visitor may change
    // the value. Usage order is left alone.
    template <class Visitor>
    void ForEach(Visitor visit)
    {
        for (auto& entry : entries)
            visit(entry.first, entry.second.first);
    }

    // Forgets every entry.
    void Clear()
    {
        entries.clear();
        usageOrder.clear();
    }

    bool Contains(const K& key) const { return entries.count(key) != 0; }
    uint64_t Size() const { return entries.size(); }
    uint64_t Capacity() const { return capacity; }

private:
    void insert(const K& key, V value)
    {
        const auto found = entries.find(key);
        if (found != entries.end()) {
            found->second.first = std::move(value);
            usageOrder.splice(usageOrder.end(), usageOrder, found->second.second);
            return;
        }
        if (usageOrder.size() == capacity)
            evict();
        if (capacity == 0)
            return;
        usageOrder.push_back(key);
        entries.emplace(key, std::make_pair(std::move(value), std::prev(usageOrder.end())));
    }

    void evict()
    {
        if (usageOrder.empty())
            return;
        entries.erase(usageOrder.front());
        usageOrder.pop_front();
    }

    std::list<K> usageOrder;
    std::unordered_map<K, std::pair<V, typename std::list<K>::iterator>> entries;
    Loader loader;
    uint64_t capacity;
};
