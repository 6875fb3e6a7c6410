#include "TimeStamp.h"

#include <ctime>

CTimeStamp CTimeStamp::Now()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return FromUnixTime(now.tv_sec, now.tv_nsec);
}

CTimeStamp CTimeStamp::FromSystemTime(int64_t systemTime)
{
    CTimeStamp stamp;
    stamp.systemTime_ = systemTime;
    return stamp;
}

CTimeStamp CTimeStamp::FromUnixTime(int64_t seconds, int64_t nanoseconds)
{
    return FromSystemTime(SYSTEMTIME_19700101 + seconds * 10000000LL + nanoseconds / 100);
}
