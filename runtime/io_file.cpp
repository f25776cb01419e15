#include "runtime/io_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>

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
};

std::array<Slot, kSlots> io_files;

void say(const char* text) { std::fputs(text, stderr); }

Slot* slot_of(const std::int32_t* id) {
    if (id == nullptr || *id < 1 || *id > kSlots) return nullptr;
    Slot& s = io_files[static_cast<std::size_t>(*id - 1)];
    return s.id == *id ? &s : nullptr;
}

bool write_all(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w <= 0) return false;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
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
    const auto n = static_cast<std::size_t>(count);
    const char* p = static_cast<const char*>(data);
    if (s->size == 0) {
        if (!write_all(s->fd, p, n)) {
            std::perror("io_write() - write()");
            return -1;
        }
        return 0;
    }
    if (static_cast<std::size_t>(s->end - s->pos) >= n) {
        std::memcpy(s->pos, p, n);
        s->pos += n;
        return 0;
    }
    if (!write_all(s->fd, s->start, static_cast<std::size_t>(s->pos - s->start))) {
        std::perror("io_write() - write()");
        return -1;
    }
    s->pos = s->start;
    if (n > static_cast<std::size_t>(s->size)) {
        // Larger than the whole buffer: straight to the file.
        if (!write_all(s->fd, p, n)) {
            std::perror("io_write() - write()");
            return -1;
        }
        return 0;
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
    int flags = 0;
    if (*mode & kIoAppend) flags |= O_APPEND;
    if (*mode & kIoRead) {
        flags |= (*mode & kIoWrite) ? O_RDWR : O_RDONLY;
    } else {
        if (!(*mode & kIoWrite)) {
            say("io_open(): Bad flags\n");
            return -1;
        }
        flags |= O_WRONLY | O_CREAT;
        if (!(*mode & kIoAppend)) flags |= O_TRUNC;
    }
    const int fd = ::open(name, flags, 0600);
    if (fd < 0) {
        std::fprintf(stderr, "io_open(): Can't open file %s\n", name);
        std::perror("open()");
        return -1;
    }
    Slot* free_slot = nullptr;
    for (Slot& s : io_files)
        if (s.id == 0) {
            free_slot = &s;
            break;
        }
    if (free_slot == nullptr) {
        say("io_new_file(): Out of buffer\n");
        ::close(fd);
        return -1;
    }
    Slot& s = *free_slot;
    s = Slot{};
    s.id = static_cast<std::int32_t>(&s - io_files.data()) + 1;
    s.fd = fd;
    s.mode = *mode;
    s.size = buffer;
    if (buffer > 0) {
        s.start = static_cast<char*>(xu_malloc(static_cast<std::size_t>(buffer)));
        s.pos = s.start;
        if (*mode & kIoRead) {
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
    if (s->size != 0 && (s->mode & kIoWrite)) {
        if (!write_all(s->fd, s->start, static_cast<std::size_t>(s->pos - s->start))) {
            std::perror("io_close() - write()");
            return -1;
        }
    }
    if (s->start != nullptr) xu_free(s->start);
    const int r = ::close(s->fd);
    *s = Slot{};
    if (r != 0) {
        std::perror("io_close() - close()");
        return -1;
    }
    return 0;
}

std::int32_t io_close_all() {
    std::int32_t closed = 0;
    for (Slot& s : io_files)
        if (s.id != 0) {
            const std::int32_t id = s.id;
            if (io_close(&id) == 0) ++closed;
        }
    return closed;
}

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
    std::FILE* f = std::fopen(cut_at_blank(name).c_str(), "rb");
    if (f == nullptr) return 0;
    std::fclose(f);
    return 1;
}

}  // namespace nodrix
