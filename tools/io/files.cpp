#include "io/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace orvane_tool::io {

namespace {

std::string errno_text(int err) { return std::strerror(err); }

// Unique temporary name in the target's folder, so the final rename never
// crosses a file system.
int open_temp_beside(const std::string& final_path, std::string& temp_path) {
    static std::atomic<unsigned> counter{0};
    const std::filesystem::path target(final_path);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = "." + target.filename().string() + ".tmp." +
                                 std::to_string(::getpid()) + "." +
                                 std::to_string(counter.fetch_add(1));
        temp_path = (target.parent_path() / name).string();
        const int fd = ::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

void write_all(int fd, const uint8_t* data, size_t size, const std::string& path) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw io_error(path + ": cannot write: " + errno_text(errno));
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
}

// Writes a temporary file beside `final_path` and returns its name; on any
// error the temporary is removed and io_error thrown.
std::string write_temp(const std::string& final_path, std::span<const uint8_t> bytes) {
    std::string temp;
    const int fd = open_temp_beside(final_path, temp);
    if (fd < 0) throw io_error(final_path + ": cannot create: " + errno_text(errno));
    try {
        write_all(fd, bytes.data(), bytes.size(), final_path);
    } catch (...) {
        ::close(fd);
        ::unlink(temp.c_str());
        throw;
    }
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        throw io_error(final_path + ": cannot write: " + errno_text(err));
    }
    return temp;
}

std::span<const uint8_t> text_bytes(const std::string& text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

}  // namespace

uint64_t file_size(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        throw io_error(path + ": cannot open: " + errno_text(errno));
    if (S_ISDIR(st.st_mode)) throw io_error(path + ": is a folder, not a file");
    if (!S_ISREG(st.st_mode)) throw io_error(path + ": not a regular file");
    return static_cast<uint64_t>(st.st_size);
}

std::vector<uint8_t> read_file(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw io_error(path + ": cannot open: " + errno_text(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const bool dir = S_ISDIR(st.st_mode);
        ::close(fd);
        throw io_error(path + (dir ? ": is a folder, not a file" : ": not a regular file"));
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int err = errno;
            ::close(fd);
            throw io_error(path + ": cannot read: " + errno_text(err));
        }
        if (n == 0) break;  // shrank while reading
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    bytes.resize(done);
    return bytes;
}

void write_file_atomic(const std::string& path, std::span<const uint8_t> bytes) {
    const std::string temp = write_temp(path, bytes);
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        throw io_error(path + ": cannot write: " + errno_text(err));
    }
}

void write_file_atomic(const std::string& path, const std::string& text) {
    write_file_atomic(path, text_bytes(text));
}

staged_files::staged_files(std::string dir) : dir_(std::move(dir)) {
    namespace fs = std::filesystem;
    std::vector<fs::path> missing;
    std::error_code ec;
    fs::path start = fs::path(dir_).lexically_normal();
    if (!start.has_filename()) start = start.parent_path();  // "out/"
    for (fs::path p = start; !p.empty() && !fs::exists(p, ec); p = p.parent_path()) {
        missing.push_back(p);
        if (p == p.parent_path()) break;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (::mkdir(it->c_str(), 0777) == 0) {
            created_.push_back(it->string());
        } else if (errno != EEXIST) {
            const int err = errno;
            for (auto made = created_.rbegin(); made != created_.rend(); ++made)
                ::rmdir(made->c_str());
            throw io_error(dir_ + ": cannot create the folder: " + errno_text(err));
        }
    }
}

staged_files::~staged_files() {
    if (committed_) return;
    for (const entry& e : entries_) ::unlink(e.temp.c_str());
    for (auto made = created_.rbegin(); made != created_.rend(); ++made) ::rmdir(made->c_str());
}

void staged_files::add(const std::string& name, std::span<const uint8_t> bytes) {
    const std::string final_path = (std::filesystem::path(dir_) / name).string();
    entries_.push_back({write_temp(final_path, bytes), final_path});
}

void staged_files::add(const std::string& name, const std::string& text) {
    add(name, text_bytes(text));
}

void staged_files::commit() {
    // A folder in the way is the one failure a rename can meet here (the
    // temporaries already sit beside their targets): find it before renaming any.
    for (const entry& e : entries_) {
        struct stat st {};
        if (::stat(e.final_path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            throw io_error(e.final_path + ": is a folder, not a file");
    }
    for (size_t i = 0; i < entries_.size(); ++i) {
        const entry& e = entries_[i];
        if (::rename(e.temp.c_str(), e.final_path.c_str()) != 0) {
            const int err = errno;
            for (size_t j = i; j < entries_.size(); ++j) ::unlink(entries_[j].temp.c_str());
            committed_ = true;
            throw io_error(e.final_path + ": cannot write: " + errno_text(err));
        }
    }
    committed_ = true;
}

std::string resolve_beside(const std::string& base_file, const std::string& name) {
    const std::filesystem::path p(name);
    if (p.is_absolute()) return name;
    return (std::filesystem::path(base_file).parent_path() / p).string();
}

std::string extension_of(const std::string& path) {
    std::string ext = std::filesystem::path(path).extension().string();
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

}  // namespace orvane_tool::io
