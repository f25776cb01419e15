#include "runtime/io_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "runtime/run_files.h"
#include "xu/run_state.h"
#include "xu/xu_mem.h"

namespace nodrix {
namespace {

constexpr int kSlots = 100;
constexpr std::int32_t kDefaultBuffer = 10000;

struct Slot {
    std::int32_t id = 0;  // slot index + 1; 0 marks a free slot
    int fd = -1;
    std::int32_t mode = 0;
    std::int32_t size = 0;  // 0: unbuffered
    char* start = nullptr;
    char* end = nullptr;
    char* pos = nullptr;
    std::string name;       // the file's own name
    std::string temporary;  // where a result file is written until it is complete
    int error = 0;          // the first failure of a file opened for writing (errno)
};

// The files a run holds open.
struct IoState {
    std::array<Slot, kSlots> files;
    IoState() = default;
    IoState(const IoState&) = delete;
    IoState& operator=(const IoState&) = delete;
    // What the run left open goes with it (the run has reported it).
    ~IoState() {
        for (Slot& s : files)
            if (s.id != 0) {
                if (s.start != nullptr) xu_free(s.start);
                ::close(s.fd);
            }
    }
};

IoState& io() { return current_run_state().part<IoState>(); }

// The writes the process made, and the numbers of those made to fail: a
// test's injected faults, counted over the process so that they reach the
// writes of a run the test starts.
struct WriteFaults {
    std::atomic<std::int64_t> writes_made{0};
    std::atomic<std::int64_t> fail_first{0};  // 0: none
    std::atomic<std::int64_t> fail_last{0};
};
WriteFaults write_faults;

void say(const char* text) { std::fputs(text, stderr); }

Slot* slot_of(const std::int32_t* id) {
    if (id == nullptr || *id < 1 || *id > kSlots) return nullptr;
    Slot& s = io().files[static_cast<std::size_t>(*id - 1)];
    return s.id == *id ? &s : nullptr;
}

bool writing(const Slot& s) { return (s.mode & kIoWrite) != 0; }

// The first failure of a file opened for writing is an error naming it.
void failed(Slot& s, int error) {
    if (s.error != 0 || !writing(s)) return;
    s.error = error != 0 ? error : EIO;
    report_unwritable(s.name, s.error);
}

// Writes what the buffer holds.
bool flush_buffer(Slot& s) {
    const auto n = static_cast<std::size_t>(s.pos - s.start);
    s.pos = s.start;
    return n == 0 || io_write_fully(s.fd, s.start, n);
}

// A result file opened for appending starts as a copy of the file it replaces
// (none when `name` is empty: the run removed it).
bool copy_existing(const char* name, int to) {
    if (*name == '\0') return true;
    const int from = ::open(name, O_RDONLY | O_CLOEXEC);
    if (from < 0) return errno == ENOENT;
    char buf[65536];
    bool ok = true;
    for (ssize_t r; ok && (r = ::read(from, buf, sizeof buf)) != 0;) {
        if (r < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        ok = io_write_fully(to, buf, static_cast<std::size_t>(r));
    }
    const int e = errno;
    ::close(from);
    errno = e;
    return ok;
}

std::int32_t write_bytes(const std::int32_t* id, const void* data, std::int64_t count) {
    Slot* s = slot_of(id);
    if (s == nullptr) {
        say("io_write(): Bad file Id\n");
        return -1;
    }
    if (data == nullptr || count <= 0) {
        say("io_write(): Bad parameters\n");
        return -1;
    }
    if (s->error != 0) return -1;  // the file already failed: it is not completed
    const auto n = static_cast<std::size_t>(count);
    const char* p = static_cast<const char*>(data);
    auto fail = [s] {
        const int e = errno;
        std::perror("io_write() - write()");
        failed(*s, e);
        return -1;
    };
    if (s->size == 0) return io_write_fully(s->fd, p, n) ? 0 : fail();
    if (static_cast<std::size_t>(s->end - s->pos) >= n) {
        std::memcpy(s->pos, p, n);
        s->pos += n;
        return 0;
    }
    if (!flush_buffer(*s)) return fail();
    if (n > static_cast<std::size_t>(s->size)) {
        // Larger than the whole buffer: straight to the file.
        return io_write_fully(s->fd, p, n) ? 0 : fail();
    }
    std::memcpy(s->start, p, n);
    s->pos = s->start + n;
    return 0;
}

std::int32_t read_bytes(const std::int32_t* id, void* dest, std::int64_t count) {
    Slot* s = slot_of(id);
    if (s == nullptr) {
        say("io_read(): Bad file Id\n");
        return -1;
    }
    if (dest == nullptr || count <= 0) {
        say("io_read(): Bad parameters\n");
        return -1;
    }
    const auto n = static_cast<std::size_t>(count);
    if (s->size == 0) {
        const ssize_t r = ::read(s->fd, dest, n);
        if (r < 0) {
            std::perror("io_read() - read()");
            return -1;
        }
        return static_cast<std::int32_t>(r);
    }
    if (static_cast<std::size_t>(s->end - s->pos) < n) {
        const std::size_t rest = static_cast<std::size_t>(s->end - s->pos);
        std::memmove(s->start, s->pos, rest);
        s->pos = s->start;
        s->end = s->start + rest;
        const ssize_t r = ::read(s->fd, s->end, static_cast<std::size_t>(s->size) - rest);
        if (r < 0) {
            std::perror("io_read() - read()");
            return -1;
        }
        s->end += r;
        if (static_cast<std::size_t>(s->end - s->pos) < n) return 0;
    }
    std::memcpy(dest, s->pos, n);
    s->pos += n;
    return static_cast<std::int32_t>(n);
}

std::string cut_at_blank(const char* name) {
    std::string s(name);
    const auto blank = s.find(' ');
    if (blank != std::string::npos) s.resize(blank);
    return s;
}

}  // namespace

std::int32_t io_open(const char* name, const std::int32_t* mode, const std::int32_t* size) {
    if (name == nullptr || mode == nullptr || size == nullptr || *mode < 0) {
        say("io_open(): Bad parameters\n");
        return -1;
    }
    const std::int32_t buffer = *size < 0 ? kDefaultBuffer : *size;
    const bool write_bit = (*mode & kIoWrite) != 0;
    const bool read_bit = (*mode & kIoRead) != 0;
    if (!read_bit && !write_bit) {
        say("io_open(): Bad flags\n");
        return -1;
    }
    Slot* free_slot = nullptr;
    for (Slot& s : io().files)
        if (s.id == 0) {
            free_slot = &s;
            break;
        }
    if (free_slot == nullptr) {
        say("io_new_file(): Out of buffer\n");
        if (write_bit) report_unwritable(name, EMFILE);
        return -1;
    }
    std::string temporary;
    int fd = -1;
    if (read_bit) {
        // Read, or changed in place: the run's own version of the file (a
        // file an earlier run left is copied for the run before it changes).
        int flags = (write_bit ? O_RDWR : O_RDONLY) | O_CLOEXEC;
        if (*mode & kIoAppend) flags |= O_APPEND;
        errno = ENOENT;  // no version: the run removed the file
        const std::string version = write_bit ? writable_version(name) : present_version(name);
        fd = version.empty() ? -1 : ::open(version.c_str(), flags, 0600);
    } else {
        fd = create_temporary(name, temporary, 0600);
        if (fd >= 0 && (*mode & kIoAppend) && !copy_existing(present_version(name).c_str(), fd)) {
            const int e = errno;
            ::close(fd);
            discard_temporary(temporary);
            errno = e;
            fd = -1;
        }
    }
    if (fd < 0) {
        const int e = errno;
        std::fprintf(stderr, "io_open(): Can't open file %s\n", name);
        errno = e;
        std::perror("open()");
        if (write_bit) report_unwritable(name, e);
        return -1;
    }
    Slot& s = *free_slot;
    s = Slot{};
    s.id = static_cast<std::int32_t>(&s - io().files.data()) + 1;
    s.fd = fd;
    s.mode = *mode;
    s.size = buffer;
    s.name = name;
    s.temporary = temporary;
    if (buffer > 0) {
        s.start = static_cast<char*>(xu_malloc(static_cast<std::size_t>(buffer)));
        s.pos = s.start;
        if (read_bit) {
            const ssize_t r = ::read(fd, s.start, static_cast<std::size_t>(buffer));
            if (r < 0) {
                std::perror("io_open() - read()");
                ::close(fd);
                xu_free(s.start);
                s = Slot{};
                return -1;
            }
            s.end = s.start + r;
        } else {
            s.end = s.start + buffer;
        }
    }
    return s.id;
}

std::int32_t io_write_byte(const std::int32_t* id, const void* data, const std::int32_t* count) {
    return write_bytes(id, data, count != nullptr ? *count : 0);
}

std::int32_t io_write_str(const std::int32_t* id, const char* text) {
    return write_bytes(id, text, text != nullptr ? static_cast<std::int64_t>(std::strlen(text)) : 0);
}

std::int32_t io_write_int(const std::int32_t* id, const std::int32_t* data, const std::int32_t* count) {
    return write_bytes(id, data, count != nullptr ? std::int64_t{*count} * 4 : 0);
}

std::int32_t io_write_flt(const std::int32_t* id, const float* data, const std::int32_t* count) {
    return write_bytes(id, data, count != nullptr ? std::int64_t{*count} * 4 : 0);
}

std::int32_t io_write_dbl(const std::int32_t* id, const double* data, const std::int32_t* count) {
    return write_bytes(id, data, count != nullptr ? std::int64_t{*count} * 8 : 0);
}

std::int32_t io_read_str(const std::int32_t* id, void* dest, const std::int32_t* count) {
    return read_bytes(id, dest, count != nullptr ? *count : 0);
}

std::int32_t io_read_int(const std::int32_t* id, std::int32_t* dest, const std::int32_t* count) {
    return read_bytes(id, dest, count != nullptr ? std::int64_t{*count} * 4 : 0);
}

std::int32_t io_read_flt(const std::int32_t* id, float* dest, const std::int32_t* count) {
    return read_bytes(id, dest, count != nullptr ? std::int64_t{*count} * 4 : 0);
}

std::int32_t io_read_dbl(const std::int32_t* id, double* dest, const std::int32_t* count) {
    return read_bytes(id, dest, count != nullptr ? std::int64_t{*count} * 8 : 0);
}

std::int32_t io_fseek(const std::int32_t* id, const std::int32_t* offset) {
    Slot* s = slot_of(id);
    if (s == nullptr || offset == nullptr) {
        say("io_fseek(): Bad file Id\n");
        return -1;
    }
    if (s->size != 0) {
        // A seek would leave the buffer out of step with the file.
        say("io_fseek():\nCannot use with buffered files.\n");
        return -1;
    }
    if (::lseek(s->fd, *offset, SEEK_SET) < 0) {
        std::perror("io_fseek() - lseek()");
        return -1;
    }
    return 0;
}

std::int32_t io_close(const std::int32_t* id) {
    Slot* s = slot_of(id);
    if (s == nullptr) {
        say("io_close(): Bad file Id\n");
        return -1;
    }
    bool ok = true;
    if (s->size != 0 && writing(*s) && !flush_buffer(*s)) {
        const int e = errno;
        std::perror("io_close() - write()");
        failed(*s, e);
        ok = false;
    }
    if (s->start != nullptr) xu_free(s->start);
    if (::close(s->fd) != 0) {
        const int e = errno;
        std::perror("io_close() - close()");
        failed(*s, e);
        ok = false;
    }
    if (!s->temporary.empty()) {
        // A result file goes in place only when every byte reached it.
        if (s->error != 0)
            discard_temporary(s->temporary);
        else if (!put_in_place(s->temporary, s->name))
            failed(*s, errno);
        ok = ok && s->error == 0;
    }
    ok = ok && s->error == 0;
    *s = Slot{};
    return ok ? 0 : -1;
}

std::int32_t io_close_all() {
    std::int32_t closed = 0;
    for (Slot& s : io().files)
        if (s.id != 0) {
            const std::int32_t id = s.id;
            if (io_close(&id) == 0) ++closed;
        }
    return closed;
}

std::int32_t io_write_at(std::int32_t id, std::int64_t offset, const void* data, std::int32_t count) {
    Slot* s = slot_of(&id);
    if (s == nullptr || !writing(*s)) {
        say("io_write(): Bad file Id\n");
        return -1;
    }
    if (data == nullptr || count <= 0 || offset < 0) {
        say("io_write(): Bad parameters\n");
        return -1;
    }
    if ((s->size != 0 && !flush_buffer(*s)) ||
        !io_write_fully(s->fd, data, static_cast<std::size_t>(count), static_cast<off_t>(offset))) {
        const int e = errno;
        std::perror("io_write() - write()");
        failed(*s, e);
        return -1;
    }
    return 0;
}

std::int32_t io_close_unfinished() {
    std::int32_t closed = 0;
    for (Slot& s : io().files) {
        if (s.id == 0) continue;
        ++closed;
        if (!s.temporary.empty()) {
            report_unfinished(s.name);
            discard_temporary(s.temporary);
        }
        if (s.start != nullptr) xu_free(s.start);
        ::close(s.fd);
        s = Slot{};
    }
    return closed;
}

bool io_write_fully(int fd, const void* data, std::size_t count, off_t at) {
    if (count == 0) return true;
    WriteFaults& f = write_faults;
    const std::int64_t made = ++f.writes_made;
    if (f.fail_first != 0 && made >= f.fail_first && made <= f.fail_last) {
        errno = ENOSPC;
        return false;
    }
    const char* p = static_cast<const char*>(data);
    while (count > 0) {
        const ssize_t w = at < 0 ? ::write(fd, p, count) : ::pwrite(fd, p, count, at);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = EIO;
            return false;
        }
        p += w;
        count -= static_cast<std::size_t>(w);
        if (at >= 0) at += w;
    }
    return true;
}

void io_fail_writes(std::int64_t first, std::int64_t count) {
    WriteFaults& f = write_faults;
    if (first <= 0 || count == 0) {
        f.fail_first = 0;
        return;
    }
    f.fail_last = count < 0 ? std::numeric_limits<std::int64_t>::max() : f.writes_made + first + count - 1;
    f.fail_first = f.writes_made + first;
}

std::int64_t io_writes_made() { return write_faults.writes_made; }

std::int32_t io_rewrite_int(const char* name, const std::int32_t* data, const std::int32_t* count) {
    const std::int32_t mode = kIoRead | kIoWrite;
    const std::int32_t size = 0;
    const std::int32_t id = io_open(name, &mode, &size);
    if (id < 0) return -1;
    const std::int32_t r = io_write_int(&id, data, count);
    io_close(&id);
    return r;
}

std::int32_t io_fchk(const char* name) {
    if (name == nullptr) return 0;
    const std::string version = present_version(cut_at_blank(name));
    std::FILE* f = version.empty() ? nullptr : std::fopen(version.c_str(), "rb");
    if (f == nullptr) return 0;
    std::fclose(f);
    return 1;
}

}  // namespace nodrix
