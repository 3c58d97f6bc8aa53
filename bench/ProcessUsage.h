#pragma once

/** What the running process has cost so far. One definition per system in bench/native/. */
struct ProcessUsage
{
    double cpuSeconds; // user and system time of all its threads
    long peakMemoryKb; // the most memory it has held resident

    static ProcessUsage now();
};
