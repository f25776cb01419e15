// String utilities of the run-time layer.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace nodrix {

// Owned copy of a text (release with xu_free); null for null.
char* xu_StringDup(const char* text);
// Lower-cases the letters of a text in place and returns it.
char* xu_StringLower(char* text);
// Re-entrant tokenizer: skips leading delimiters, ends the token with a NUL and
// keeps the continuation in *save; null when no token is left.
char* xu_StringTok(char* text, const char* delimiters, char** save);
// Reads a line like fgets; a line ending in CR LF is returned ending in LF.
char* xu_FGets(char* buffer, int size, std::FILE* stream);

// The closest of `candidates` to `word` when it is close enough to be a
// likely typo, else empty.
std::string closest_word(std::string_view word, const std::vector<std::string_view>& candidates);

// The 64-bit FNV-1a hash of bytes, in 16 lower-case hexadecimal digits: the
// checksum of the files the program checks for damage (a sweep's records,
// the plan wisdom file). Any one changed byte changes it.
std::string fnv1a_hex(std::string_view bytes);

}  // namespace nodrix
