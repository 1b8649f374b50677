#pragma once

// Timing helpers shared by the benchmarks: every figure is the median of several runs.

#include <QElapsedTimer>
#include <QList>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>

namespace bench {

inline double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    const qsizetype n = values.size();
    return n % 2 ? values.at(n / 2) : (values.at(n / 2 - 1) + values.at(n / 2)) / 2.0;
}

// CPU time of the calling thread in milliseconds: what the work cost, however loaded the machine.
inline double threadCpuMs()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

// Runs `prepare` untimed, then `work` timed, `runs` times; prints the median and the range of the
// wall time, and the median CPU time of the calling thread.
inline void measure(const char *name, int runs, const std::function<void()> &prepare,
    const std::function<void()> &work)
{
    QList<double> times;
    QList<double> cpu;
    for (int i = 0; i < runs; ++i) {
        if (prepare)
            prepare();
        QElapsedTimer timer;
        const double cpuStart = threadCpuMs();
        timer.start();
        work();
        times.append(timer.nsecsElapsed() / 1e6);
        cpu.append(threadCpuMs() - cpuStart);
    }
    const auto [low, high] = std::minmax_element(times.cbegin(), times.cend());
    std::printf("%-58s median %9.3f ms  (min %.3f, max %.3f, %d runs; cpu %.3f ms)\n", name,
        median(times), *low, *high, runs, median(cpu));
    std::fflush(stdout);
}

} // namespace bench
