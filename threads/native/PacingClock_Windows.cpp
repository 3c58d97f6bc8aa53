#include "threads/PacingClock.h"

#include <thread>

// <windows.h> first: the others build on it.
#include <windows.h>

#include <mmsystem.h>

namespace PacingClock
{
namespace
{
    // Not in every SDK's headers; Windows 10 1803 and later know it.
    constexpr DWORD highResolutionTimer = 0x00000002;

    // A waitable timer may still wake a little late, and the scheduler adds
    // its own delay: the last stretch is waited out awake, so that the mean
    // period stays within a percent of the interval.
    constexpr std::chrono::microseconds awakeStretch { 500 };

    /** The thread's timer: a high-resolution one where Windows has them. */
    HANDLE threadTimer()
    {
        struct Timer
        {
            Timer()
                : handle (CreateWaitableTimerExW (nullptr, nullptr, highResolutionTimer, TIMER_ALL_ACCESS))
            {
                if (handle == nullptr)
                    handle = CreateWaitableTimerExW (nullptr, nullptr, 0, TIMER_ALL_ACCESS);
            }

            ~Timer()
            {
                if (handle != nullptr)
                    CloseHandle (handle);
            }

            HANDLE handle;
        };

        static thread_local Timer timer;
        return timer.handle;
    }
}

// Windows wakes sleeping threads on its timer interrupt, every 15.6 ms by
// default; a 1 ms period, asked for as long as a transfer runs, makes every
// wait of ours (and the waitable timer's fallback) that fine. `previous`
// holds the period asked for, or 0 when Windows refused it.
PreciseWaits::PreciseWaits()
    : previous (timeBeginPeriod (1) == TIMERR_NOERROR ? 1 : 0)
{
}

PreciseWaits::~PreciseWaits()
{
    if (previous != 0)
        timeEndPeriod (1);
}

void sleepUntil (Clock::time_point deadline)
{
    const auto wakeAt = deadline - awakeStretch;
    const auto now = Clock::now();

    if (wakeAt > now)
    {
        // Relative due times are negative, in units of 100 ns.
        LARGE_INTEGER due;
        due.QuadPart = -std::chrono::duration_cast<std::chrono::duration<LONGLONG, std::ratio<1, 10000000>>> (wakeAt - now).count();

        auto* timer = threadTimer();

        if (timer != nullptr && SetWaitableTimer (timer, &due, 0, nullptr, nullptr, FALSE))
            WaitForSingleObject (timer, INFINITE);
        else
            std::this_thread::sleep_until (wakeAt);
    }

    while (Clock::now() < deadline)
        std::this_thread::yield();
}
} // namespace PacingClock
