// Slices a fuzz input into records and images; missing bytes read as zero.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

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
        const size_t left = (size_ - pos_) / 2;
        if (left == 0) return out;
        const size_t first = std::min(n, left);
        for (size_t i = 0; i < first; ++i) {
            const size_t at = pos_ + 2 * i;
            out[i] = static_cast<uint16_t>(data_[at] | (data_[at + 1] << 8));
        }
        // The repeats are copies of the samples already made, doubling each
        // time (a division per sample was most of a small target's time).
        for (size_t done = first; done < n;) {
            const size_t k = std::min(done - done % left, n - done);
            std::memcpy(out.data() + done, out.data(), k * sizeof(uint16_t));
            done += k;
        }
        return out;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};
