#include "xu/xu_args.h"

#include <cctype>

namespace nodrix {
namespace {

bool same_word(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b)
        if (std::toupper(static_cast<unsigned char>(*a)) != std::toupper(static_cast<unsigned char>(*b)))
            return false;
    return *a == '\0' && *b == '\0';
}

void remove_args(int* argc, char** argv, int at, int count) {
    for (int k = at; k + count < *argc; ++k) argv[k] = argv[k + count];
    for (int k = *argc - count; k < *argc; ++k) argv[k] = nullptr;
    *argc -= count;
}

}  // namespace

int xu_GetArgs(const char* const* table, int* argc, char** argv, char** value) {
    *value = nullptr;
    if (*argc < 2) return -1;
    for (int i = 1; i < *argc; ++i) {
        const char* a = argv[i];
        if (a == nullptr || (a[0] != '-' && a[0] != '/')) continue;
        for (int code = 0; table[code] != nullptr && table[code][0] != '\0'; ++code) {
            const char* word = table[code];
            const bool takes_value = word[0] == ':';
            if (!same_word(a + 1, takes_value ? word + 1 : word)) continue;
            if (takes_value && i + 1 < *argc && argv[i + 1] != nullptr && argv[i + 1][0] != '-') {
                *value = argv[i + 1];
                remove_args(argc, argv, i, 2);
            } else {
                remove_args(argc, argv, i, 1);
            }
            return code;
        }
    }
    return -1;
}

}  // namespace nodrix
