#include "threads/PacingClock.h"

#include <algorithm>
#include <sys/prctl.h>
#include <thread>

namespace PacingClock
{
namespace
{
    // A sleep wakes late by the time it takes to be scheduled again, tens of
    // microseconds, which would stretch every period by that much. So the
    // thread sleeps until that much before the deadline, as it has learnt
    // from its last wakes, and waits out the rest awake: a short stretch, so
    // that the wait costs little processor time.
    constexpr std::chrono::microseconds awakeMargin { 10 };
    constexpr std::chrono::microseconds firstLateness { 60 }, mostLateness { 500 };

    thread_local std::chrono::microseconds lateness = firstLateness;
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
    const auto wakeAt = deadline - lateness - awakeMargin;

    if (Clock::now() < wakeAt)
    {
        std::this_thread::sleep_until (wakeAt);

        // A running average of how late this thread wakes.
        const auto late = std::chrono::duration_cast<std::chrono::microseconds> (Clock::now() - wakeAt);
        lateness = std::clamp ((lateness * 7 + late) / 8, std::chrono::microseconds (0), mostLateness);
    }

    // Reading the clock costs no system call: the short stretch left is
    // waited out without giving up the processor, and without waking again.
    while (Clock::now() < deadline)
    {
    }
}
} // namespace PacingClock
