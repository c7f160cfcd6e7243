// Where the library's diagnostics go while a lot's modules run.
#pragma once

#include <cstdio>
#include <string>

namespace orvane_tool {

// While it lives, every message of the library goes to `fd` as one line
// headed by the name of the module whose calibration raised it (the worker
// thread's module_scope), instead of to standard output, so the tool's own
// output (the summary, --one's row) stays clean and a lot's log says which
// module a message belongs to. Standard output is restored when it goes.
class library_messages {
  public:
    explicit library_messages(int fd);
    ~library_messages();
    library_messages(const library_messages&) = delete;
    library_messages& operator=(const library_messages&) = delete;

  private:
    int fd_;
};

// Names the module the calling thread calibrates, for library_messages, and
// optionally its own log, which gets each message too, where the module's
// output would have shown it. The library calls the handler on the thread of
// the call that raised the message, so a thread's module is the message's.
class module_scope {
  public:
    explicit module_scope(const std::string& module);
    ~module_scope();
    module_scope(const module_scope&) = delete;
    module_scope& operator=(const module_scope&) = delete;

  private:
    const std::string* outer_;
};

class module_log_scope {
  public:
    explicit module_log_scope(std::FILE* log);
    ~module_log_scope();
    module_log_scope(const module_log_scope&) = delete;
    module_log_scope& operator=(const module_log_scope&) = delete;

  private:
    std::FILE* outer_;
};

}  // namespace orvane_tool
