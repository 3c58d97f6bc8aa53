#pragma once

#include <chrono>

/**
    The clock and the wait that pace a transfer's slices.

    A pacing thread sleeps until an absolute deadline a few milliseconds ahead,
    many times a second; the system's default sleep may wake it late by tens of
    microseconds (Linux's timer slack) or whole milliseconds (Windows' timer
    granularity), which would stretch every period. The platform file makes
    such waits as precise as the system allows.
*/
namespace PacingClock
{
using Clock = std::chrono::steady_clock;

/** Makes timed waits on the calling thread precise for as long as it exists.
    Create one on the pacing thread, before its first wait. */
class PreciseWaits final
{
public:
    PreciseWaits();
    ~PreciseWaits();

private:
    unsigned long previous = 0;

    PreciseWaits (const PreciseWaits&) = delete;
    PreciseWaits& operator= (const PreciseWaits&) = delete;
};

/** Returns at `deadline` or very shortly after, never before it. */
void sleepUntil (Clock::time_point deadline);
} // namespace PacingClock
