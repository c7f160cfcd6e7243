// Where the library's diagnostics go while a lot's modules run.
#pragma once

namespace orvane_tool {

// The library prints its few diagnostics to standard output, from whichever
// worker meets them; while modules run they go to `fd` instead, so the
// tool's own output (the summary, --one's row) stays clean. Standard output
// is restored when the object goes.
class stdout_diverted {
  public:
    explicit stdout_diverted(int fd);
    ~stdout_diverted();
    stdout_diverted(const stdout_diverted&) = delete;
    stdout_diverted& operator=(const stdout_diverted&) = delete;

  private:
    int saved_ = -1;
};

}  // namespace orvane_tool
