// File access of the tools: whole-file reads with clear errors, and writes
// that never leave a half-written file behind.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvane_tool::io {

// Every failure of the file layer: one line, naming the file (and the field
// where there is one). The tool prints it and exits non-zero.
class io_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Size of a regular file; throws when it is missing, not a regular file or
// unreadable.
uint64_t file_size(const std::string& path);

// The whole file, which must be a regular one (a pipe or a device is refused
// without waiting on it) of at most `max_bytes`: a larger one is refused
// before anything is allocated, the message naming it `what` ("a JSON file").
// Throws io_error when it cannot be opened or read.
std::vector<uint8_t> read_file(const std::string& path, uint64_t max_bytes, const char* what);
// A file the library writes: at most a state dump.
std::vector<uint8_t> read_file(const std::string& path);

// Writes `bytes` to `path` through a temporary file in the same folder and a
// rename: readers see the old file or the complete new one, never a part.
void write_file_atomic(const std::string& path, std::span<const uint8_t> bytes);
void write_file_atomic(const std::string& path, const std::string& text);

// A fresh, unique file in the temporary folder (for a state dump the library
// writes), removed when the object goes away, however the run ends.
class temporary_file {
public:
    // `what` names the file in the error thrown when none can be made.
    explicit temporary_file(const std::string& what);
    ~temporary_file();
    temporary_file(const temporary_file&) = delete;
    temporary_file& operator=(const temporary_file&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// A set of files that appear together or not at all: each is written to a
// temporary file in `dir` as it is added; commit() renames them into place
// in the order they were added and removes the files named by remove().
// Files they replace are kept under a second name until every rename is
// done, so a failure halfway puts them all back: the folder then holds what
// it held before. `dir` and its missing parents are created first.
// Uncommitted temporaries, and the folders made for them, are removed when
// the object goes away, so an error on the way leaves nothing behind.
class staged_files {
public:
    // The rename commit() uses (the tests make it fail on cue); returns 0 or
    // -1 with errno set, as rename(2) does.
    using rename_fn = std::function<int(const char* from, const char* to)>;

    explicit staged_files(std::string dir, rename_fn rename = {});
    staged_files(const staged_files&) = delete;
    staged_files& operator=(const staged_files&) = delete;
    ~staged_files();

    void add(const std::string& name, std::span<const uint8_t> bytes);
    void add(const std::string& name, const std::string& text);
    // A file of an earlier run that must not outlive this commit.
    void remove(const std::string& name);
    void commit();

private:
    struct entry {
        std::string temp;  // empty: the target is removed
        std::string final_path;
        std::string backup;  // the file it replaced, until the commit is through
        bool linked = false;  // backup is a second link: the target is still in place
        bool placed = false;
    };
    void roll_back(size_t done);

    std::string dir_;
    rename_fn rename_;
    std::vector<std::string> created_;  // folders made here, outermost first
    std::vector<entry> entries_;
    bool committed_ = false;
};

// `name` resolved against the folder of `base_file` unless it is absolute.
std::string resolve_beside(const std::string& base_file, const std::string& name);

// Lower-case extension including the dot ("" when there is none).
std::string extension_of(const std::string& path);

}  // namespace orvane_tool::io
