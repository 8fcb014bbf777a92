// Progress of a long command on stderr, and the number formats its lines use.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <string>

#include "calibration/engine.hpp"

namespace calvenor::cli {

// A number with `precision` decimals; non-finite values as "inf", "-inf", "nan".
std::string fixed(double v, int precision);
// A number with `digits` significant digits (printf %g); non-finite as above.
std::string general(double v, int digits = 7);

// Progress on stderr: a live line on a terminal, otherwise a line per
// generation (at most one a second, plus the last of each phase).
class ProgressPrinter {
public:
    ProgressPrinter(std::ostream& err, bool live, bool quiet) : err_(err), live_(live), quiet_(quiet) {}

    void operator()(const ProgressInfo& p);

    // A phase counted in steps rather than evaluations: "PHASE done/total
    // UNIT  evaluations N  R evaluations/s" (total 0: not known).
    void steps(const std::string& phase, std::int64_t done, std::int64_t total, const std::string& unit,
               std::int64_t evaluations, double seconds, bool phaseEnd);

private:
    // Shows a line (throttled as the phase's progress lines are), with a bar
    // at `share` on a terminal.
    void show(const std::string& phase, const std::string& text, double share, bool phaseEnd);

    using Clock = std::chrono::steady_clock;
    std::ostream& err_;
    bool live_;
    bool quiet_;
    std::string phase_;
    Clock::time_point last_{};

    static std::string line(const ProgressInfo& p);
};

}  // namespace calvenor::cli
