// File access of the tools: whole-file reads with clear errors, and writes
// that never leave a half-written file behind.
#pragma once

#include <cstdint>
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

// The whole file. Throws io_error when it cannot be opened or read.
std::vector<uint8_t> read_file(const std::string& path);

// Writes `bytes` to `path` through a temporary file in the same folder and a
// rename: readers see the old file or the complete new one, never a part.
void write_file_atomic(const std::string& path, std::span<const uint8_t> bytes);
void write_file_atomic(const std::string& path, const std::string& text);

// A set of files that appear together or not at all: each is written to a
// temporary file in `dir` as it is added; commit() renames them into place
// in the order they were added. `dir` and its missing parents are created
// first. Uncommitted temporaries, and the folders made for them, are removed
// when the object goes away, so an error on the way leaves nothing behind.
class staged_files {
public:
    explicit staged_files(std::string dir);
    staged_files(const staged_files&) = delete;
    staged_files& operator=(const staged_files&) = delete;
    ~staged_files();

    void add(const std::string& name, std::span<const uint8_t> bytes);
    void add(const std::string& name, const std::string& text);
    void commit();

private:
    struct entry {
        std::string temp;
        std::string final_path;
    };
    std::string dir_;
    std::vector<std::string> created_;  // folders made here, outermost first
    std::vector<entry> entries_;
    bool committed_ = false;
};

// `name` resolved against the folder of `base_file` unless it is absolute.
std::string resolve_beside(const std::string& base_file, const std::string& name);

// Lower-case extension including the dot ("" when there is none).
std::string extension_of(const std::string& path);

}  // namespace orvane_tool::io
