#include "xu/xu_string.h"

#include <cctype>
#include <cstring>

#include "xu/xu_mem.h"

namespace nodrix {

char* xu_StringDup(const char* text) {
    if (text == nullptr) return nullptr;
    const std::size_t n = std::strlen(text) + 1;
    char* copy = static_cast<char*>(xu_malloc(n));
    std::memcpy(copy, text, n);
    return copy;
}

char* xu_StringLower(char* text) {
    if (text == nullptr) return nullptr;
    for (char* p = text; *p != '\0'; ++p) *p = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
    return text;
}

char* xu_StringTok(char* text, const char* delimiters, char** save) {
    char* p = text != nullptr ? text : *save;
    if (p == nullptr) return nullptr;
    p += std::strspn(p, delimiters);
    if (*p == '\0') {
        *save = p;
        return nullptr;
    }
    char* end = p + std::strcspn(p, delimiters);
    if (*end != '\0') {
        *end = '\0';
        *save = end + 1;
    } else {
        *save = end;
    }
    return p;
}

char* xu_FGets(char* buffer, int size, std::FILE* stream) {
    char* r = std::fgets(buffer, size, stream);
    if (r == nullptr) return nullptr;
    const std::size_t n = std::strlen(buffer);
    if (n >= 2 && buffer[n - 2] == '\r' && buffer[n - 1] == '\n') {
        buffer[n - 2] = '\n';
        buffer[n - 1] = '\0';
    }
    return r;
}

}  // namespace nodrix
