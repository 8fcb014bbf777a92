// The signals that ask a long run to stop: Ctrl-C (SIGINT), and what batch
// schedulers send at a time limit or when the terminal goes (SIGTERM,
// SIGHUP). While a StopSignals lives, the first of them asks the run to stop
// with the best so far; the handlers then step aside, so a second one ends
// the program at once.
#pragma once

#include <atomic>
#include <csignal>

namespace calvenor::cli {

class StopSignals {
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Set once a stop has been asked for.
    const std::atomic<bool>& requested() const;
    // The signal that asked, 0 when none did.
    int signal() const;
    // The exit status of a run it stopped: 128 + the signal's number (130
    // for Ctrl-C, 143 for SIGTERM, 129 for SIGHUP).
    int exitStatus() const { return 128 + signal(); }

private:
    static constexpr int handled[3] = {SIGINT, SIGTERM, SIGHUP};
    struct sigaction previous_[3]{};
    bool installed_[3] = {false, false, false};
};

}  // namespace calvenor::cli
