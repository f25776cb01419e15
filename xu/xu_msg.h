// The message layer: every diagnostic line of the program is formatted here
// with the program name and a one-letter severity, filtered by a mask of shown
// severities, and written to the standard error, an optional log file and an
// optional in-memory list. A second path (xu_Print) serves the run-time
// library's own reports and ends the process on a fatal report. The state of
// both is the current run's (xu/run_state.h).
#pragma once

#include <cstdarg>
#include <cstdio>

namespace nodrix {

// Severity bits of the context path.
enum : int {
    kMsgProgram = 1,  // "P"
    kMsgTrace = 2,    // "T"
    kMsgInfo = 4,     // "I", shown only with the verbose option
    kMsgWarning = 8,  // "W"
    kMsgError = 16,   // "E"
    kMsgFatal = 32,   // "F"
};

// Output bits of a context.
enum : int { kOutStderr = 1, kOutLogFile = 2, kOutList = 4 };

struct XuMsgRecord {
    int level;
    char* text;  // owned copy of the composed line
    int word;
};

struct XuMsg {
    const char* name = nullptr;  // program name, or null
    int shown = 56;              // severity bits that are output
    int outputs = kOutStderr;
    char* log_path = nullptr;    // owned
    std::FILE* log = nullptr;
    int warning_tally = 0;
    int error_tally = 0;
    int list_capacity = 0;
    int list_count = 0;
    XuMsgRecord* list = nullptr;
    bool initialised = false;
};

// The run-time layer's own report level, from the command line: bit 8
// warning, bit 2 trace, bit 1 function trace.
int xu_MsgLevel();

// Context path.
XuMsg* xu_MsgInit(const char* name, int level, int* argc, char** argv);
XuMsg* xu_MsgGetMessage(XuMsg* handle);
int xu_MsgOutputFileOpen(XuMsg* handle, const char* path);
int xu_MsgOutputFileAppend(XuMsg* handle, const char* path);
int xu_MsgOutputFileClose(XuMsg* handle);
int xu_MsgPrintf(XuMsg* handle, int level, int code, const char* location, int word, const char* format, ...)
    __attribute__((format(printf, 6, 7)));
int xu_MsgVPrintf(XuMsg* handle, int level, int code, const char* location, int word, const char* format,
                  std::va_list args);
// The run-time layer's reports, to the standard error: line `code` of
// `table` formatted with the arguments, at `file`(`line`) (no location when
// the line is negative). Severity codes: 1 trace, 2 information, 8 warning,
// 16 error, 32 fatal (the process aborts after the line); bit 64 appends the
// system's text of the current error number.
void xu_Print(int level, const char* file, int line, int code, const char* const* table, ...);

// Holds the lines of the context from here on in its list instead of writing
// them out. xu_MsgRelease then writes the held lines where they would have
// gone (show) or drops them, and puts the context's outputs back.
void xu_MsgHold(XuMsg* handle);
void xu_MsgRelease(XuMsg* handle, bool show);


// The last component of a path, split at '/' or '\'.
const char* xu_BaseName(const char* path);

}  // namespace nodrix
