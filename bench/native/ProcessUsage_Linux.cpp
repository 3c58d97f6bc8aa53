#include "bench/ProcessUsage.h"

#include <sys/resource.h>

ProcessUsage ProcessUsage::now()
{
    rusage usage {};
    getrusage (RUSAGE_SELF, &usage);
    const auto seconds = [] (const timeval& t)
    { return (double) t.tv_sec + (double) t.tv_usec / 1e6; };
    return { seconds (usage.ru_utime) + seconds (usage.ru_stime), usage.ru_maxrss };
}
