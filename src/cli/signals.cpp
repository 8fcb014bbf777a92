#include "cli/signals.hpp"

namespace calvenor::cli {

namespace {

std::atomic<bool> stopRequested{false};
std::atomic<int> stopSignal{0};

extern "C" void onStopSignal(int number) {
    // sigaction is safe in a handler: every stop signal goes back to its
    // default action, so a second one ends the program.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    for (const int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &fallback, nullptr);
    int none = 0;
    stopSignal.compare_exchange_strong(none, number);
    stopRequested.store(true);
}

}  // namespace

StopSignals::StopSignals() {
    stopRequested.store(false);
    stopSignal.store(0);
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    for (const int s : handled) sigaddset(&action.sa_mask, s);
    for (int i = 0; i < 3; ++i) installed_[i] = sigaction(handled[i], &action, &previous_[i]) == 0;
}

StopSignals::~StopSignals() {
    for (int i = 0; i < 3; ++i) {
        if (installed_[i]) sigaction(handled[i], &previous_[i], nullptr);
    }
}

const std::atomic<bool>& StopSignals::requested() const { return stopRequested; }

int StopSignals::signal() const { return stopSignal.load(); }

}  // namespace calvenor::cli
