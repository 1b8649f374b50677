#pragma once

// Timing helpers shared by the benchmarks: every figure is the median of several runs.

#include <QElapsedTimer>
#include <QList>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace bench {

inline double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    const qsizetype n = values.size();
    return n % 2 ? values.at(n / 2) : (values.at(n / 2 - 1) + values.at(n / 2)) / 2.0;
}

// Runs `prepare` untimed, then `work` timed, `runs` times; prints the median and the range.
inline void measure(const char *name, int runs, const std::function<void()> &prepare,
    const std::function<void()> &work)
{
    QList<double> times;
    for (int i = 0; i < runs; ++i) {
        if (prepare)
            prepare();
        QElapsedTimer timer;
        timer.start();
        work();
        times.append(timer.nsecsElapsed() / 1e6);
    }
    const auto [low, high] = std::minmax_element(times.cbegin(), times.cend());
    std::printf("%-58s median %9.3f ms  (min %.3f, max %.3f, %d runs)\n", name, median(times), *low,
        *high, runs);
    std::fflush(stdout);
}

} // namespace bench
