// Scratch folders, file helpers and a runner for the `orvane` executable,
// shared by the file-format and inspect tests.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "io/files.h"

namespace io_test {

namespace fs = std::filesystem;

// A fresh folder under the test temp dir, removed afterwards.
class scratch_dir {
public:
    scratch_dir() {
        std::string pattern = (fs::path(::testing::TempDir()) / "orvane-io-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
        path_ = pattern;
    }
    ~scratch_dir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;

    std::string operator/(const std::string& name) const { return (path_ / name).string(); }
    const fs::path& path() const { return path_; }

    // Names of the entries of a folder, sorted; none when it does not exist.
    static std::vector<std::string> entries_of(const fs::path& dir) {
        std::vector<std::string> names;
        if (!fs::exists(dir)) return names;
        for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::vector<std::string> entries() const { return entries_of(path_); }

private:
    fs::path path_;
};

inline void write_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

inline void write_text(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

inline std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct cli_result {
    int exit_code = -1;
    std::string out;
    std::string err;
};

// Runs `orvane <args>` with stdout and stderr captured separately.
inline cli_result run_cli(const std::string& args) {
    scratch_dir logs;
    const std::string cmd = std::string(ORVANE_CLI) + " " + args + " >'" + (logs / "out") +
                            "' 2>'" + (logs / "err") + "'";
    const int status = std::system(cmd.c_str());
    cli_result r;
    r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = read_text(logs / "out");
    r.err = read_text(logs / "err");
    return r;
}

inline std::string quoted(const std::string& path) { return "'" + path + "'"; }

// The message of the io_error `f` throws, or "no error".
inline std::string error_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const orvane_tool::io::io_error& e) {
        return e.what();
    }
    return "no error";
}

}  // namespace io_test
