#include "xu/xu_string.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
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

namespace {

std::size_t edit_distance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

}  // namespace

std::string closest_word(std::string_view word, const std::vector<std::string_view>& candidates) {
    std::string_view best;
    std::size_t best_distance = std::string_view::npos;
    for (std::string_view c : candidates) {
        const std::size_t d = edit_distance(word, c);
        if (d < best_distance) best_distance = d, best = c;
    }
    // A typo changes a few letters; anything further is another word.
    const std::size_t tolerance = std::max<std::size_t>(2, word.size() / 3);
    return best_distance <= tolerance ? std::string(best) : std::string();
}

std::string fnv1a_hex(std::string_view bytes) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (const unsigned char c : bytes) {
        h ^= c;
        h *= 0x100000001b3ULL;
    }
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
    return buf;
}

}  // namespace nodrix
