#include "xu/xu_bfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "xu/xu_mem.h"

namespace nodrix {

XuBfile* xu_BfileOpen(const char* path, int mode) {
    if (path == nullptr) return nullptr;
    auto* h = static_cast<XuBfile*>(xu_malloc(sizeof(XuBfile)));
    int flags = 0;
    if (mode & kBfileAppend) flags |= O_APPEND;
    if (mode & kBfileRead) {
        flags |= (mode & kBfileWrite) ? O_RDWR : O_RDONLY;
    } else {
        flags |= O_WRONLY | O_CREAT;
        if (!(mode & kBfileAppend)) flags |= O_TRUNC;
    }
    h->fd = ::open(path, flags, 0600);
    if (h->fd < 0) {
        xu_free(h);
        return nullptr;
    }
    return h;
}

int xu_BfileClose(XuBfile* h) {
    if (h == nullptr) return -2;
    const int r = ::close(h->fd);
    xu_free(h);
    return r == 0 ? 0 : -2;
}

int xu_BfileSeek(XuBfile* h, long offset) {
    if (h == nullptr) return -2;
    return ::lseek(h->fd, offset, SEEK_SET) == static_cast<off_t>(offset) ? 0 : -2;
}

int xu_BfileWriteNByte(XuBfile* h, const void* data, std::size_t n) {
    if (h == nullptr || (data == nullptr && n > 0)) return -1;
    const auto* p = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < n) {
        const ssize_t w = ::write(h->fd, p + done, n - done);
        if (w <= 0) return -1;
        done += static_cast<std::size_t>(w);
    }
    return 0;
}

int xu_BfileWriteByte(XuBfile* h, unsigned char byte) { return xu_BfileWriteNByte(h, &byte, 1); }
int xu_BfileWriteInt(XuBfile* h, std::int32_t value) { return xu_BfileWriteNByte(h, &value, sizeof value); }
int xu_BfileWriteDouble(XuBfile* h, double value) { return xu_BfileWriteNByte(h, &value, sizeof value); }

int xu_BfileWriteString(XuBfile* h, const char* text) {
    const std::int32_t n = static_cast<std::int32_t>(std::strlen(text) + 1);
    if (xu_BfileWriteInt(h, n) != 0) return -1;
    return xu_BfileWriteNByte(h, text, static_cast<std::size_t>(n));
}

int xu_BfileWriteStringAscii(XuBfile* h, const char* text) {
    return xu_BfileWriteNByte(h, text, std::strlen(text) + 1);
}

int xu_BfileReadNByte(XuBfile* h, void* dest, std::size_t n) {
    auto* p = static_cast<char*>(dest);
    std::size_t done = 0;
    while (h != nullptr && done < n) {
        const ssize_t r = ::read(h->fd, p + done, n - done);
        if (r <= 0) break;
        done += static_cast<std::size_t>(r);
    }
    if (done < n) {
        if (p != nullptr) std::memset(p, 0, n);
        return -1;
    }
    return 0;
}

int xu_BfileReadStringAscii(XuBfile* h, char* dest, std::size_t max) {
    int r = 0;
    std::size_t stored = 0;
    for (;;) {
        char c = 0;
        r = xu_BfileReadNByte(h, &c, 1);
        if (r != 0) break;
        if (stored + 1 < max) dest[stored++] = c;
        if (c == '\0') break;
    }
    if (max > 0) dest[stored < max ? stored : max - 1] = '\0';
    return r;
}

int xu_BfileReadString(XuBfile* h, char* dest, std::size_t max) {
    std::int32_t length = 0;
    const int r = xu_BfileReadNByte(h, &length, sizeof length);
    if (r != 0) {
        if (max > 0) dest[0] = '\0';
        return r;
    }
    return xu_BfileReadStringAscii(h, dest, max);
}

}  // namespace nodrix
