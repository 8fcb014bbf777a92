#include "memory.hpp"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <new>
#include <string>

namespace {

std::atomic<std::size_t> inUse{0};
std::atomic<std::size_t> peak{0};

void* allocate(std::size_t size) {
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    const std::size_t now = inUse.fetch_add(malloc_usable_size(p), std::memory_order_relaxed) + malloc_usable_size(p);
    std::size_t seen = peak.load(std::memory_order_relaxed);
    while (now > seen && !peak.compare_exchange_weak(seen, now, std::memory_order_relaxed)) {
    }
    return p;
}

void release(void* p) {
    if (p == nullptr) return;
    inUse.fetch_sub(malloc_usable_size(p), std::memory_order_relaxed);
    std::free(p);
}

// A field of /proc/self/status in bytes ("VmRSS", "VmHWM").
std::size_t statusField(const std::string& name) {
    std::ifstream in("/proc/self/status");
    std::string key;
    std::size_t kb = 0;
    while (in >> key) {
        if (key == name + ":") {
            in >> kb;
            return kb * 1024;
        }
        in.ignore(1 << 12, '\n');
    }
    return 0;
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }

namespace calvenor::bench {

std::size_t heapInUse() { return inUse.load(); }
std::size_t heapPeak() { return peak.load(); }
std::size_t residentBytes() { return statusField("VmRSS"); }
std::size_t residentPeakBytes() { return statusField("VmHWM"); }

void resetPeaks() {
    peak.store(inUse.load());
    // Writing 5 to clear_refs starts the peak resident set again.
    std::ofstream("/proc/self/clear_refs") << "5";
}

}  // namespace calvenor::bench
