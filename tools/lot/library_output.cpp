#include "lot/library_output.h"

#include <unistd.h>

#include <cstdio>

namespace orvane_tool {

stdout_diverted::stdout_diverted(int fd) {
    std::fflush(stdout);
    saved_ = ::dup(STDOUT_FILENO);
    if (saved_ >= 0 && ::dup2(fd, STDOUT_FILENO) < 0) {
        ::close(saved_);
        saved_ = -1;
    }
}

stdout_diverted::~stdout_diverted() {
    std::fflush(stdout);
    if (saved_ >= 0) {
        ::dup2(saved_, STDOUT_FILENO);
        ::close(saved_);
    }
}

}  // namespace orvane_tool
