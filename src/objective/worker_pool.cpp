#include "objective/worker_pool.hpp"

#include <chrono>
#include <cstdlib>
#include <string>

namespace calvenor {

unsigned threadsFromEnvironment() {
    const char* env = std::getenv("CALVENOR_THREADS");
    if (env == nullptr || *env == '\0') return 0;
    const std::string text(env);
    unsigned n = 0;
    bool whole = text.size() <= 4;
    for (const char c : text) {
        if (c < '0' || c > '9') whole = false;
        if (whole) n = n * 10 + static_cast<unsigned>(c - '0');
    }
    if (!whole || n < 1 || n > 1024) {
        std::string shown;
        for (const char c : text.substr(0, 40)) shown += (c >= 0x20 && c < 0x7F) ? c : '?';
        throw ThreadSettingError("CALVENOR_THREADS: expected a whole number of threads from 1 to 1024, found '" +
                                 shown + (text.size() > 40 ? "...'" : "'"));
    }
    return n;
}

unsigned defaultThreadCount() {
    if (const unsigned n = threadsFromEnvironment(); n != 0) return n;
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : cores;
}

WorkerPool::WorkerPool(unsigned threads) {
    for (unsigned w = 1; w < threads; ++w) threads_.emplace_back([this, w] { workerLoop(w); });
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (auto& t : threads_) t.join();
}

void WorkerPool::work(unsigned worker) {
    for (;;) {
        std::size_t i;
        {
            std::lock_guard lock(mutex_);
            if (next_ >= count_ || failure_) return;
            i = next_++;
        }
        try {
            (*body_)(i, worker);
        } catch (...) {
            std::lock_guard lock(mutex_);
            if (!failure_) failure_ = std::current_exception();
        }
    }
}

void WorkerPool::workerLoop(unsigned worker) {
    std::size_t seen = 0;
    for (;;) {
        // Calls often come one right after another (an optimiser's single
        // evaluations): a worker looks out for the next job a little while
        // before it sleeps, so the call need not wake it.
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(250);
        for (int spin = 1; generation_.load(std::memory_order_acquire) == seen && !stopping_.load(std::memory_order_relaxed);
             ++spin) {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
            if (spin % 64 == 0 && std::chrono::steady_clock::now() > until) break;
        }
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
            if (stopping_) return;
            seen = generation_;
        }
        work(worker);
        {
            std::lock_guard lock(mutex_);
            --busy_;
        }
        done_.notify_one();
    }
}

void WorkerPool::run(std::size_t n, FunctionRef<void(std::size_t, unsigned)> body) {
    if (threads_.empty() || n <= 1) {
        for (std::size_t i = 0; i < n; ++i) body(i, 0);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        count_ = n;
        next_ = 0;
        body_ = &body;
        failure_ = nullptr;
        busy_ = static_cast<unsigned>(threads_.size());
        ++generation_;
    }
    wake_.notify_all();
    work(0);
    std::exception_ptr failure;
    {
        std::unique_lock lock(mutex_);
        done_.wait(lock, [&] { return busy_ == 0; });
        body_ = nullptr;
        failure = failure_;
    }
    if (failure) std::rethrow_exception(failure);
}

}  // namespace calvenor
