// Command-line option parsing.
#pragma once

namespace nodrix {

// Returns the code (table position) of the first option found in argv, or -1
// when none is left. An option is an argument that starts with '-' or '/' and
// whose rest equals a table word without regard to case; a table word that
// starts with ':' takes a value (the next argument, unless it starts with
// '-'). The found option and its value are removed from argv; *value receives
// the value or null. The table ends with an empty word.
int xu_GetArgs(const char* const* table, int* argc, char** argv, char** value);

}  // namespace nodrix
