#include "bench/ProcessUsage.h"

// <windows.h> first: psapi.h builds on it.
#include <windows.h>

#include <psapi.h>

ProcessUsage ProcessUsage::now()
{
    FILETIME created {}, exited {}, kernel {}, user {};
    GetProcessTimes (GetCurrentProcess(), &created, &exited, &kernel, &user);
    const auto seconds = [] (const FILETIME& t)
    { return (double) (((unsigned long long) t.dwHighDateTime << 32) | t.dwLowDateTime) / 1e7; };

    PROCESS_MEMORY_COUNTERS memory {};
    GetProcessMemoryInfo (GetCurrentProcess(), &memory, sizeof (memory));
    return { seconds (kernel) + seconds (user), (long) (memory.PeakWorkingSetSize / 1024) };
}
