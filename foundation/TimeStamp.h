// CTimeStamp: a point in time as a signed 64-bit count of 100-ns ticks since
// 1601-01-01 UTC (the "system time"). A default or cleared stamp holds 0.
#pragma once

#include "Export.h"

#include <cstdint>

// 1970-01-01 UTC in system time.
constexpr int64_t SYSTEMTIME_19700101 = 116444736000000000LL;

class CX_EXPORT CTimeStamp {
public:
    CTimeStamp() = default;

    static CTimeStamp Now();
    static CTimeStamp FromSystemTime(int64_t systemTime);
    // Seconds and nanoseconds since 1970-01-01 UTC, as in struct timespec.
    static CTimeStamp FromUnixTime(int64_t seconds, int64_t nanoseconds = 0);

    int64_t GetSystemTime() const { return systemTime_; }
    void Clear() { systemTime_ = 0; }
    bool IsZero() const { return systemTime_ == 0; }

    friend bool operator==(CTimeStamp a, CTimeStamp b) { return a.systemTime_ == b.systemTime_; }
    friend bool operator!=(CTimeStamp a, CTimeStamp b) { return a.systemTime_ != b.systemTime_; }
    friend bool operator<(CTimeStamp a, CTimeStamp b) { return a.systemTime_ < b.systemTime_; }

private:
    int64_t systemTime_ = 0;
};

// An interval of time (100-ns ticks). Lock operations take it and ignore it.
class CX_EXPORT CTimeInterval {
public:
    explicit CTimeInterval(int64_t ticks = 0) : ticks_(ticks) {}
    ~CTimeInterval() {}
    int64_t Ticks() const { return ticks_; }

private:
    int64_t ticks_;
};
