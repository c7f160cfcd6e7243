#include "io/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "orvane.h"

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

std::vector<uint8_t> read_file(const std::string& path, uint64_t max_bytes, const char* what) {
    // Non-blocking, so that opening a named pipe does not wait for a writer;
    // the flag changes nothing for the regular file it must be.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw io_error(path + ": cannot open: " + errno_text(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const bool dir = S_ISDIR(st.st_mode);
        ::close(fd);
        throw io_error(path + (dir ? ": is a folder, not a file" : ": not a regular file"));
    }
    const auto size = static_cast<uint64_t>(st.st_size);
    if (size > max_bytes) {
        ::close(fd);
        throw io_error(path + ": " + std::to_string(size) + " bytes, more than " + what +
                       " may have (" + std::to_string(max_bytes) + ")");
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int err = errno;
            ::close(fd);
            throw io_error(path + ": cannot read: " + errno_text(err));
        }
        if (n == 0) break;  // shrank while reading; growth past st_size is not read
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    bytes.resize(done);
    return bytes;
}

std::vector<uint8_t> read_file(const std::string& path) {
    return read_file(path, ORVANE_STATE_DUMP_SIZE, "a file of the library");
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

temporary_file::temporary_file(const std::string& what) {
    std::string pattern = (std::filesystem::temp_directory_path() / "orvane-XXXXXX").string();
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) throw std::runtime_error("cannot create a temporary file for " + what);
    ::close(fd);
    path_ = pattern;
}

temporary_file::~temporary_file() { std::remove(path_.c_str()); }

staged_files::staged_files(std::string dir, rename_fn rename)
    : dir_(std::move(dir)), rename_(std::move(rename)) {
    if (!rename_) rename_ = [](const char* from, const char* to) { return ::rename(from, to); };
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
    for (const entry& e : entries_)
        if (!e.temp.empty()) ::unlink(e.temp.c_str());
    for (auto made = created_.rbegin(); made != created_.rend(); ++made) ::rmdir(made->c_str());
}

void staged_files::add(const std::string& name, std::span<const uint8_t> bytes) {
    const std::string final_path = (std::filesystem::path(dir_) / name).string();
    entries_.push_back({write_temp(final_path, bytes), final_path, {}, false, false});
}

void staged_files::add(const std::string& name, const std::string& text) {
    add(name, text_bytes(text));
}

void staged_files::remove(const std::string& name) {
    entries_.push_back({{}, (std::filesystem::path(dir_) / name).string(), {}, false, false});
}

namespace {

// A name beside `path` that nothing uses, for the file it replaces.
std::string free_name_beside(const std::string& path) {
    static std::atomic<unsigned> counter{0};
    const std::filesystem::path target(path);
    std::string candidate;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = "." + target.filename().string() + ".old." +
                                 std::to_string(::getpid()) + "." +
                                 std::to_string(counter.fetch_add(1));
        candidate = (target.parent_path() / name).string();
        struct stat st {};
        if (::lstat(candidate.c_str(), &st) != 0 && errno == ENOENT) break;
    }
    return candidate;  // taken after 100 tries: the link fails and says why
}

}  // namespace

void staged_files::roll_back(size_t done) {
    // Newest first, so each target gets back exactly what it held.
    for (size_t i = done; i-- > 0;) {
        entry& e = entries_[i];
        if (e.placed && e.backup.empty() && !e.temp.empty()) ::unlink(e.final_path.c_str());
        if (e.backup.empty()) continue;
        // A second link of a target still in place is just dropped (renaming
        // one link onto another of the same file would do nothing).
        const bool untouched = e.linked && !e.placed;
        if (untouched ? ::unlink(e.backup.c_str()) == 0
                      : rename_(e.backup.c_str(), e.final_path.c_str()) == 0)
            e.backup.clear();
    }
}

void staged_files::commit() {
    // A folder in the way is the one failure a rename can be expected to meet
    // here (the temporaries already sit beside their targets): find it before
    // renaming any.
    for (const entry& e : entries_) {
        struct stat st {};
        if (::stat(e.final_path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            throw io_error(e.final_path + ": is a folder, not a file");
    }
    for (size_t i = 0; i < entries_.size(); ++i) {
        entry& e = entries_[i];
        std::string failed;
        int err = 0;
        struct stat st {};
        if (::lstat(e.final_path.c_str(), &st) == 0) {
            // Keep what is there under a second name: a hard link leaves the
            // target in place until the new file replaces it in one rename.
            const std::string backup = free_name_beside(e.final_path);
            if (::link(e.final_path.c_str(), backup.c_str()) == 0) {
                e.backup = backup;
                e.linked = true;
            } else if (errno != EEXIST && rename_(e.final_path.c_str(), backup.c_str()) == 0) {
                // No hard links here: the target moves aside until the new file comes.
                e.backup = backup;
            } else {
                err = errno;
                failed = "cannot replace";
            }
        }
        if (failed.empty()) {
            if (e.temp.empty()) {
                if (::unlink(e.final_path.c_str()) == 0) {
                    e.placed = true;
                } else if (errno != ENOENT) {
                    err = errno;
                    failed = "cannot remove";
                }
            } else if (rename_(e.temp.c_str(), e.final_path.c_str()) != 0) {
                err = errno;
                failed = "cannot write";
            } else {
                e.placed = true;
            }
        }
        if (!failed.empty()) {
            roll_back(i + 1);
            bool restored = true;
            for (const entry& r : entries_) {
                if (!r.temp.empty() && !r.placed) ::unlink(r.temp.c_str());
                if (!r.backup.empty()) restored = false;
            }
            committed_ = true;  // nothing left for the destructor
            for (auto made = created_.rbegin(); made != created_.rend(); ++made)
                ::rmdir(made->c_str());
            throw io_error(e.final_path + ": " + failed + ": " + errno_text(err) +
                           (restored ? "" : " (and an earlier file could not be put back)"));
        }
    }
    for (const entry& e : entries_)
        if (!e.backup.empty()) ::unlink(e.backup.c_str());
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
