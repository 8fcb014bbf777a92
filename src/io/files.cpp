#include "io/files.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <system_error>

namespace calvenor {

namespace fs = std::filesystem;

namespace {

std::string reasonOf(int error) { return std::generic_category().message(error != 0 ? error : EIO); }

std::string nameOf(const fs::path& path, const std::string& shown) {
    return shown.empty() ? path.string() : shown;
}

// Writes all of `content` to the descriptor; returns 0 or the errno.
int writeAll(int fd, std::string_view content) {
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

}  // namespace

void writeFile(const fs::path& path, std::string_view content, const std::string& shown, bool durable) {
    const std::string name = nameOf(path, shown);
    static std::atomic<unsigned> serial{0};
    // The temporary lies beside the target, so the rename stays on one file system.
    fs::path temporary = path;
    temporary += ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(serial.fetch_add(1));
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) throw FileError(name, "write", reasonOf(errno));
    int error = writeAll(fd, content);
    if (durable && error == 0 && ::fsync(fd) != 0 && errno != EINVAL && errno != EROFS) error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
    if (error != 0) {
        ::unlink(temporary.c_str());
        throw FileError(name, "write", reasonOf(error));
    }
}

void createFolder(const fs::path& folder, const std::string& shown) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) throw FileError(nameOf(folder, shown), "create the folder", ec.message());
    if (!fs::is_directory(folder, ec)) throw FileError(nameOf(folder, shown), "create the folder", "not a folder");
}

std::string readFile(const fs::path& path, const std::string& shown) {
    const std::string name = nameOf(path, shown);
    std::error_code ec;
    if (fs::is_directory(path, ec)) throw FileError(name, "read", "it is a folder");
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) throw FileError(name, "open", reasonOf(errno));
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) throw FileError(name, "read", reasonOf(errno));
    return text.str();
}

}  // namespace calvenor
