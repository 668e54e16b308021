// Small helpers every benchmark program uses.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace bench {

typedef std::chrono::steady_clock Clock;

double Seconds(Clock::time_point a, Clock::time_point b);
double Milliseconds(Clock::time_point a, Clock::time_point b);
// The median; the mean of the middle two for an even count, 0 for none.
double Median(std::vector<double> v);
// s in single quotes for /bin/sh.
std::string Quote(const std::string& s);
// The folder of the running program.
std::string ExeDir();

} // namespace bench
