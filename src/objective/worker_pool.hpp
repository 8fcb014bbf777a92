// A fixed set of worker threads that run index ranges, and a non-owning
// reference to a callable (no allocation on the evaluation path).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace calvenor {

template <class Signature>
class FunctionRef;

template <class R, class... Args>
class FunctionRef<R(Args...)> {
public:
    template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, FunctionRef>>>
    FunctionRef(F&& f)  // NOLINT: implicit by design
        : object_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
          call_([](void* o, Args... args) -> R {
              return (*static_cast<std::remove_reference_t<F>*>(o))(std::forward<Args>(args)...);
          }) {}
    R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

private:
    void* object_;
    R (*call_)(void*, Args...);
};

// A CALVENOR_THREADS value that is not a whole number from 1 to 1024; what()
// names the variable, the range and the value found.
class ThreadSettingError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// The thread count CALVENOR_THREADS asks for; 0 when it is unset or empty.
// Throws ThreadSettingError for any other value.
unsigned threadsFromEnvironment();

// The number of threads to use when none is given: CALVENOR_THREADS if set,
// otherwise every core. Throws ThreadSettingError.
unsigned defaultThreadCount();

class WorkerPool {
public:
    // `threads` workers in all, the calling thread included.
    explicit WorkerPool(unsigned threads);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    unsigned size() const { return static_cast<unsigned>(threads_.size()) + 1; }

    // Runs body(i, worker) for every i in [0, n), worker in [0, size()); the
    // calling thread takes part as worker 0. Rethrows the first exception.
    void run(std::size_t n, FunctionRef<void(std::size_t, unsigned)> body);

private:
    void workerLoop(unsigned worker);
    void work(unsigned worker);

    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::atomic<std::size_t> generation_{0};
    unsigned busy_ = 0;
    std::atomic<bool> stopping_{false};  // read by spinning workers without the lock
    // The current job.
    std::size_t count_ = 0;
    std::size_t next_ = 0;
    const FunctionRef<void(std::size_t, unsigned)>* body_ = nullptr;
    std::exception_ptr failure_;
};

}  // namespace calvenor
