#include "threads/PacingClock.h"

#include <sys/prctl.h>
#include <thread>

namespace PacingClock
{
namespace
{
    // A sleep wakes up to the thread's timer slack late (50 us by default),
    // and then has to be scheduled. The last stretch is waited out awake, so
    // that the mean period stays within a percent of the interval.
    constexpr std::chrono::microseconds awakeStretch { 60 };
}

PreciseWaits::PreciseWaits()
    : previous ((unsigned long) prctl (PR_GET_TIMERSLACK, 0, 0, 0, 0))
{
    prctl (PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
}

PreciseWaits::~PreciseWaits()
{
    prctl (PR_SET_TIMERSLACK, previous, 0, 0, 0);
}

void sleepUntil (Clock::time_point deadline)
{
    std::this_thread::sleep_until (deadline - awakeStretch);

    while (Clock::now() < deadline)
        std::this_thread::yield();
}
} // namespace PacingClock
