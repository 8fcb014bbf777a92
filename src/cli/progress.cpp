#include "cli/progress.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ostream>
#include <sstream>

#include "io/numbers.hpp"

namespace calvenor::cli {

std::string fixed(double v, int precision) {
    if (!std::isfinite(v)) return shortest(v);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", precision, v);
    return buf;
}

std::string general(double v, int digits) {
    if (!std::isfinite(v)) return shortest(v);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*g", digits, v);
    return buf;
}

// ---------------------------------------------------------------------------
// Progress

void ProgressPrinter::operator()(const ProgressInfo& p) {
    if (quiet_) return;
    show(p.phase, line(p), p.maxEvaluations > 0 ? double(p.evaluations) / double(p.maxEvaluations) : 1.0, p.phaseEnd);
}

void ProgressPrinter::steps(const std::string& phase, std::int64_t done, std::int64_t total, const std::string& unit,
                            std::int64_t evaluations, double seconds, bool phaseEnd) {
    if (quiet_) return;
    std::ostringstream s;
    s << phase << "  " << done;
    if (total > 0) s << "/" << total;
    s << " " << unit << "  evaluations " << evaluations << "  "
      << fixed(seconds > 0 ? double(evaluations) / seconds : 0.0, 0) << " evaluations/s";
    if (phaseEnd) s << "  (" << phase << " done)";
    show(phase, s.str(), total > 0 ? std::min(1.0, double(done) / double(total)) : 1.0, phaseEnd);
}

void ProgressPrinter::show(const std::string& phase, const std::string& text, double share, bool phaseEnd) {
    const auto now = Clock::now();
    const bool newPhase = phase != phase_;
    phase_ = phase;
    const double sinceLast = std::chrono::duration<double>(now - last_).count();
    if (live_) {
        if (!phaseEnd && !newPhase && sinceLast < 0.1) return;
        last_ = now;
        constexpr int width = 24;
        const int filled = std::clamp(static_cast<int>(share * width + 0.5), 0, width);
        err_ << "\r\x1b[K[" << std::string(static_cast<std::size_t>(filled), '#')
             << std::string(static_cast<std::size_t>(width - filled), '.') << "] " << text << std::flush;
        if (phaseEnd) err_ << "\n";
    } else {
        if (!phaseEnd && !newPhase && sinceLast < 1.0) return;
        last_ = now;
        err_ << text << "\n" << std::flush;
    }
}

std::string ProgressPrinter::line(const ProgressInfo& p) {
    std::ostringstream s;
    s << p.phase;
    if (p.generation > 0 || p.phase != "bobyqa") s << " generation " << p.generation;
    s << "  evaluations " << p.evaluations << "/" << p.maxEvaluations << "  best " << general(p.best, 6)
      << "  " << fixed(p.seconds > 0 ? double(p.evaluations) / p.seconds : 0.0, 0) << " evaluations/s";
    if (p.phaseEnd) s << "  (" << p.phase << " done)";
    return s.str();
}

}  // namespace calvenor::cli
