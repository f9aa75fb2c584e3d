#pragma once
// CPU time of the test process, for checks that something idles or does not
// spin.
#include <sys/resource.h>

// User + system time of the whole process, in milliseconds.
inline double ProcessCpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}
