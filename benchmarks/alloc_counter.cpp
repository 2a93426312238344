// Replaces the global allocator of a benchmark binary to count heap allocations per thread,
// so that a benchmark can tell how many the library's threads make in a steady tick. Counting
// itself never allocates: each thread claims a slot of a fixed table on its first allocation.

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "bench_stats.h"

namespace {

struct Slot {
    std::atomic<int> tid{0};
    std::atomic<unsigned long long> count{0};
};
Slot slots[1024];
thread_local int mySlot = -1;

void CountOne() {
    if (mySlot < 0) {
        const int tid = int(syscall(SYS_gettid));
        for (int i = 0; i < 1024; ++i) {
            int free = 0;
            if (slots[i].tid.compare_exchange_strong(free, tid)) {
                mySlot = i;
                break;
            }
        }
        if (mySlot < 0) return;  // table full: not counted
    }
    slots[mySlot].count.fetch_add(1, std::memory_order_relaxed);
}

void* Allocate(std::size_t size) {
    CountOne();
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}

void* AllocateAligned(std::size_t size, std::align_val_t align) {
    CountOne();
    const std::size_t a = std::size_t(align);
    if (void* p = std::aligned_alloc(a, (size + a - 1) / a * a)) return p;
    throw std::bad_alloc();
}

}  // namespace

unsigned long long bench::Allocations(const std::set<int>& threads) {
    unsigned long long sum = 0;
    for (const auto& s : slots)
        if (threads.count(s.tid.load())) sum += s.count.load();
    return sum;
}

void* operator new(std::size_t size) {
    return Allocate(size);
}
void* operator new[](std::size_t size) {
    return Allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return Allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return Allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new(std::size_t size, std::align_val_t align) {
    return AllocateAligned(size, align);
}
void* operator new[](std::size_t size, std::align_val_t align) {
    return AllocateAligned(size, align);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}
