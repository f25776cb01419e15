#include "tools/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace nodrix {
namespace {

std::string reason_of(int error) { return std::strerror(error != 0 ? error : EIO); }

// Writes all of `text` to `fd`; false with errno set on a failed write.
bool write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Creates the new file beside `output`; its descriptor, or -1 with errno set.
int create_part_file(const std::string& output, std::string& part) {
    const std::filesystem::path out_path(output);
    const std::filesystem::path dir = out_path.parent_path();
    for (int k = 0; k < 100; ++k) {
        const std::string name =
            "." + out_path.filename().string() + "." + std::to_string(::getpid()) + "-" + std::to_string(k) + ".part";
        part = dir.empty() ? name : (dir / name).string();
        const int fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

}  // namespace

std::string output_refusal(const std::string& output) {
    struct stat st {};
    if (::stat(output.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return "";
    if (S_ISDIR(st.st_mode)) return "it is a directory";
    return "it is not a regular file (a device, a pipe or a socket)";
}

bool write_whole_file(const std::string& output, std::string_view text, std::string& reason) {
    reason = output_refusal(output);
    if (!reason.empty()) return false;
    std::string part;
    const int fd = create_part_file(output, part);
    if (fd < 0) {
        reason = reason_of(errno);
        return false;
    }
    struct stat old {};
    if (::stat(output.c_str(), &old) == 0) ::fchmod(fd, old.st_mode & 07777);
    bool ok = write_all(fd, text) && ::fsync(fd) == 0;
    if (!ok) reason = reason_of(errno);
    if (::close(fd) != 0 && ok) {
        reason = reason_of(errno);
        ok = false;
    }
    // The output may have become a device or a directory while the part was written.
    if (ok) reason = output_refusal(output);
    if (ok && reason.empty() && ::rename(part.c_str(), output.c_str()) != 0) reason = reason_of(errno);
    if (ok && reason.empty()) return true;
    ::unlink(part.c_str());
    return false;
}

}  // namespace nodrix
