// FaultVfs: a shim sqlite3_vfs over the process's default one that makes
// chosen file operations fail, for tests that drive the library's real code
// paths into I/O errors.
//
// While an object lives, the shim is SQLite's default VFS, so every
// connection opened in that time (the library's included) goes through it;
// the destructor restores the previous default. Connections opened through
// the shim must be closed before the object is destroyed.
//
// Arm(kinds, n, code, fromNOn) counts, from that call on, every operation of
// the given kinds and fails the n-th (1-based) with `code` (once, or that one
// and every later one). Until armed, and while paused, operations pass and
// are not counted. OnlyThread narrows counting to the operations one thread
// runs. Only one object may exist at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

struct sqlite3_vfs;

class FaultVfs {
public:
    enum Kind : unsigned { Write = 1, Sync = 2, Truncate = 4, Open = 8, Read = 16 };

    FaultVfs();
    ~FaultVfs();
    FaultVfs(const FaultVfs&) = delete;
    FaultVfs& operator=(const FaultVfs&) = delete;

    void Arm(unsigned kinds, int64_t n, int code, bool fromNOn);
    // Counts operations of `kinds` without failing any.
    void Count(unsigned kinds) { Arm(kinds, INT64_MAX, 0, false); }
    void Disarm();
    // From now on counts (and fails) only what `thread` runs; a default id
    // lifts the restriction.
    void OnlyThread(std::thread::id thread) { thread_ = thread; }
    // Lets operations pass uncounted until Resume (to look at a file mid-test).
    void Pause() { paused_ = true; }
    void Resume() { paused_ = false; }

    // Operations of the armed kinds seen since Arm, and how many were failed.
    int64_t Seen() const { return seen_; }
    int64_t Injected() const { return injected_; }
    // The file of the first failed operation since Arm ("" when none failed).
    std::string FirstFailedFile() const;

    // The code a real failure of that kind would most likely carry.
    static int CodeFor(Kind kind);
    static std::string KindName(unsigned kind);

    // For the shim's callbacks: whether this operation fails, and with what.
    int Intercept(Kind kind, const char* fileName);
    sqlite3_vfs* Root() const { return root_; }

private:
    sqlite3_vfs* root_ = nullptr;
    sqlite3_vfs* shim_ = nullptr;
    std::atomic<unsigned> kinds_{0};
    std::atomic<int64_t> failAt_{INT64_MAX};
    std::atomic<int> code_{0};
    std::atomic<bool> fromNOn_{false};
    std::atomic<bool> paused_{false};
    std::atomic<std::thread::id> thread_{std::thread::id()};
    std::atomic<int64_t> seen_{0};
    std::atomic<int64_t> injected_{0};
    mutable std::mutex nameMutex_;
    std::string firstFailedFile_;
};
