// Slices a fuzz input into records and images; missing bytes read as zero.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define FUZZ_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FUZZ_ASAN 1
#endif
#endif
#ifdef FUZZ_ASAN
#include <sanitizer/asan_interface.h>
#endif

// Largest raw frame of the targets that take one: width % 521, height % 263.
constexpr size_t kMaxFuzzPixels = size_t{520} * 262;

class fuzz_input {
public:
    fuzz_input(const uint8_t* data, size_t size) : data_(data), size_(data ? size : 0) {}

    template <typename T>
    T take() {
        T value{};
        take_bytes(&value, sizeof value);
        return value;
    }

    void take_bytes(void* out, size_t n) {
        std::memset(out, 0, n);
        const size_t k = std::min(n, size_ - pos_);
        if (k > 0) std::memcpy(out, data_ + pos_, k);
        pos_ += k;
    }

    // The rest of the input repeated to fill n samples (zeros if none left).
    std::vector<uint16_t> samples(size_t n) {
        std::vector<uint16_t> out(n, 0);
        fill_samples(out.data(), n);
        return out;
    }

    void fill_samples(uint16_t* out, size_t n) {
        const size_t left = (size_ - pos_) / 2;
        if (left == 0) {
            std::fill(out, out + n, uint16_t{0});
            return;
        }
        const size_t first = std::min(n, left);
        for (size_t i = 0; i < first; ++i) {
            const size_t at = pos_ + 2 * i;
            out[i] = static_cast<uint16_t>(data_[at] | (data_[at + 1] << 8));
        }
        // The repeats are copies of the samples already made, doubling each
        // time (a division per sample was most of a small target's time).
        for (size_t done = first; done < n;) {
            const size_t k = std::min(done - done % left, n - done);
            std::memcpy(out + done, out, k * sizeof(uint16_t));
            done += k;
        }
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// Image buffers kept for the life of the process: a fresh allocation of a
// few hundred KB per input is mapped anew each time, and its page faults
// were half of a small target's time. The n elements handed out end where
// the allocation ends, so the heap's own red zone catches an access past
// them; the unused front is poisoned (only what changed is updated, the
// buffers can be large).
template <typename T>
class reused_buffer {
public:
    explicit reused_buffer(size_t capacity)
        : data_(new T[capacity]), capacity_(capacity), start_(capacity) {
#ifdef FUZZ_ASAN
        __asan_poison_memory_region(data_, capacity_ * sizeof(T));
#endif
    }
    reused_buffer(const reused_buffer&) = delete;
    reused_buffer& operator=(const reused_buffer&) = delete;

    // n <= capacity elements; their contents are whatever was there.
    T* take(size_t n) {
        if (n > capacity_) std::abort();
        const size_t start = capacity_ - n;
#ifdef FUZZ_ASAN
        if (start < start_) __asan_unpoison_memory_region(data_ + start, (start_ - start) * sizeof(T));
        if (start > start_) __asan_poison_memory_region(data_ + start_, (start - start_) * sizeof(T));
#endif
        start_ = start;
        return data_ + start;
    }

private:
    T* data_;  // never freed: it lives as long as the process
    size_t capacity_;
    size_t start_;  // first element handed out last time
};
