// The plan wisdom file: FFTW's wisdom text behind our checksum line.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>

#include "runtime/wisdom.h"
#include "xu/xu_string.h"

namespace nodrix {
namespace {

constexpr std::string_view kChecksumWords = "nodrix-wisdom fnv1a64 ";
constexpr std::size_t kChecksumDigits = 16;

// "fftw-3.3.10" of fftw_version "fftw-3.3.10-sse2-avx".
std::string fftw_release() {
    const std::string v = fftw_version;
    const std::size_t dash = v.find('-', 5);
    return dash == std::string::npos ? v : v.substr(0, dash);
}

// Why a text cannot be wisdom of this program's FFTW, judged by its head
// "(fftw-3.x.y fftw_wisdom"; empty when the head is right.
std::string foreign_wisdom(std::string_view text) {
    std::istringstream in{std::string(text.substr(0, 200))};
    std::string maker;
    std::string kind;
    in >> maker >> kind;
    if (maker.rfind("(fftw-3.", 0) != 0 || kind != "fftw_wisdom") return "it is not wisdom of FFTW 3 in double precision";
    if (maker.substr(1) != fftw_release())
        return "it was made by " + maker.substr(1) + ", this program uses " + fftw_release();
    return "";
}

// The whole content of an open file; false on a read failure.
bool read_all(int fd, std::string& text) {
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        text.append(chunk, static_cast<std::size_t>(n));
    }
}

// Takes the checksum line off `text` and checks what follows it against it.
// Empty when it matches (`text` then holds FFTW's text alone), else why not.
std::string strip_checksum(std::string_view& text) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    const std::string_view digits = line.substr(std::min(line.size(), kChecksumWords.size()));
    if (end == std::string_view::npos || digits.size() != kChecksumDigits ||
        digits.find_first_not_of("0123456789abcdef") != std::string_view::npos)
        return "it is damaged: its checksum line is not whole";
    text.remove_prefix(end + 1);
    if (fnv1a_hex(text) != digits) return "it is damaged: its content does not match its checksum";
    return "";
}

}  // namespace

WisdomImport import_wisdom_file(const std::string& path) {
    WisdomImport r;
    // Not blocking on a pipe: whatever it is, it is looked at before it is read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) return r;
    r.present = true;
    struct stat st {};
    if (fd >= 0 && ::fstat(fd, &st) == 0 && !S_ISREG(st.st_mode)) {
        ::close(fd);
        r.reason = "it is not a regular file";
        return r;
    }
    std::string content;
    const bool read = fd >= 0 && read_all(fd, content);
    if (fd >= 0) ::close(fd);
    if (!read) {
        r.reason = "it cannot be read";
        return r;
    }
    std::string_view text = content;
    if (text.starts_with(kChecksumWords)) {
        r.reason = strip_checksum(text);
        if (!r.reason.empty()) return r;
        r.checked = true;
    }
    r.reason = foreign_wisdom(text);
    if (!r.reason.empty()) return r;
    // FFTW reads the whole text or keeps none of it.
    r.imported = text.find('\0') == std::string_view::npos && fftw_import_wisdom_from_string(std::string(text).c_str()) != 0;
    if (!r.imported) r.reason = "FFTW rejects it: it is damaged, or made by another build of " + fftw_release();
    return r;
}

std::string wisdom_file_text() {
    char* exported = fftw_export_wisdom_to_string();
    const std::string text = exported != nullptr ? exported : "";
    std::free(exported);  // FFTW allocates the text with malloc
    return std::string(kChecksumWords) + fnv1a_hex(text) + "\n" + text;
}

}  // namespace nodrix
