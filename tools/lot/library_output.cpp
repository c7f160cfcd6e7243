#include "lot/library_output.h"

#include <unistd.h>

#include <cerrno>
#include <string>

#include "orvane.h"

namespace orvane_tool {
namespace {

thread_local const std::string* current_module = nullptr;
thread_local std::FILE* current_log = nullptr;

// The library serialises its handler calls, so whole lines never interleave.
void write_line(void* user, const cal_context* /*ctx*/, const char* text) {
    const int fd = *static_cast<const int*>(user);
    if (current_log != nullptr) std::fputs(text, current_log);
    std::string line = current_module != nullptr ? *current_module : std::string("(no module)");
    line += ": ";
    line += text;
    if (line.empty() || line.back() != '\n') line += '\n';
    size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // a log that cannot take the line must not stop the lot
        done += static_cast<size_t>(n);
    }
}

}  // namespace

library_messages::library_messages(int fd) : fd_(fd) {
    Orvane_set_message_handler(write_line, &fd_);
}

library_messages::~library_messages() { Orvane_set_message_handler(nullptr, nullptr); }

module_scope::module_scope(const std::string& module) : outer_(current_module) {
    current_module = &module;
}

module_scope::~module_scope() { current_module = outer_; }

module_log_scope::module_log_scope(std::FILE* log) : outer_(current_log) { current_log = log; }

module_log_scope::~module_log_scope() { current_log = outer_; }

}  // namespace orvane_tool
