// A buffer that ends right before an inaccessible page, so that writing even
// one byte past its end faults at once, with or without a sanitizer.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

class GuardedBuffer {
public:
    explicit GuardedBuffer(size_t max_size) {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        usable_ = (max_size + page_ - 1) / page_ * page_;
        void* map = mmap(nullptr, usable_ + page_, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED) std::abort();
        base_ = static_cast<uint8_t*>(map);
        if (mprotect(base_ + usable_, page_, PROT_NONE) != 0) std::abort();
    }
    ~GuardedBuffer() { munmap(base_, usable_ + page_); }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    // `size` bytes (at most the size given at construction) that end at the
    // guard page. A size of 0 gives the guard page itself.
    uint8_t* tail(size_t size) const {
        if (size > usable_) std::abort();
        return base_ + usable_ - size;
    }
    size_t max_size() const { return usable_; }

private:
    size_t page_ = 0, usable_ = 0;
    uint8_t* base_ = nullptr;
};
