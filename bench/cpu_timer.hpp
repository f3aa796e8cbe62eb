// Timing for the benchmarks: the thread's CPU time, since the machine is
// shared and time spent descheduled says nothing about the code.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>

#include <time.h>

namespace bench {

inline double cpu_now() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// The best of `reps` runs, in seconds.
inline double best_of(int reps, const std::function<void()>& run) {
    double best = 1e30;
    for (int r = 0; r < reps; ++r) {
        const double t0 = cpu_now();
        run();
        best = std::min(best, cpu_now() - t0);
    }
    return best;
}

// The clock /proc/cpuinfo reports, in Hz (0 where it reports none).
inline double nominal_clock_hz() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("cpu MHz", 0) == 0) return std::atof(line.substr(line.find(':') + 1).c_str()) * 1e6;
    }
    return 0.0;
}

}  // namespace bench
