// The progress line of `orvane batch`: modules done, failed, and the time
// left at the pace of the modules calibrated so far in this run. On a
// terminal one line redrawn in place; elsewhere (a log file, a CI job) a
// line of its own every few seconds.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>

#include "lot/table.h"

namespace orvane_tool {

double seconds_since(std::chrono::steady_clock::time_point t0);

// "42s", "3m07s", "1h05m"; "?" for a time it cannot tell.
std::string duration_text(double seconds);

class progress_line {
  public:
    static constexpr double kLogInterval = 5.0;  // seconds between lines off a terminal

    progress_line(size_t total, bool terminal) : total_(total), terminal_(terminal) {}

    void module_done(const module_outcome& m) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++done_;
        if (m.verdict == "FAIL") ++failed_;
        if (m.verdict == "ERROR") ++errors_;
        if (!m.resumed) ++calibrated_;
        if (m.verdict == "ERROR") {
            clear();
            std::fprintf(stderr, "orvane batch: %s: %s\n", m.module.c_str(), m.error.c_str());
        }
        draw();
    }
    void tick() {
        std::lock_guard<std::mutex> lock(mutex_);
        draw();
    }
    void finish() {
        std::lock_guard<std::mutex> lock(mutex_);
        clear();
    }

  private:
    void clear() {
        if (terminal_) std::fprintf(stderr, "\r\x1b[K");
    }
    void draw() {
        const double elapsed = seconds_since(start_);
        if (!terminal_ && elapsed < last_line_ + kLogInterval) return;
        const size_t left = total_ - done_;
        std::string eta = "ETA ?";
        if (left == 0) {
            eta = "done";
        } else if (calibrated_ > 0) {
            eta = "ETA " + duration_text(elapsed / static_cast<double>(calibrated_) *
                                         static_cast<double>(left));
        }
        if (!terminal_) {
            last_line_ = elapsed;
            std::fprintf(stderr, "orvane batch: %zu/%zu done, %zu failed, %zu errors, %s, %s\n",
                         done_, total_, failed_, errors_, duration_text(elapsed).c_str(),
                         eta.c_str());
            std::fflush(stderr);
            return;
        }
        constexpr int kWidth = 24;
        const int filled = static_cast<int>(kWidth * done_ / std::max<size_t>(1, total_));
        std::fprintf(stderr, "\r\x1b[K[%s%s] %zu/%zu done, %zu failed, %zu errors, %s, %s",
                     std::string(static_cast<size_t>(filled), '#').c_str(),
                     std::string(static_cast<size_t>(kWidth - filled), '.').c_str(), done_, total_,
                     failed_, errors_, duration_text(elapsed).c_str(), eta.c_str());
        std::fflush(stderr);
    }

    const size_t total_;
    const bool terminal_;
    double last_line_ = 0.0;  // off a terminal: when the last line was printed
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::mutex mutex_;
    size_t done_ = 0, failed_ = 0, errors_ = 0, calibrated_ = 0;
};

}  // namespace orvane_tool
