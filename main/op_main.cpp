#include "main/op_main.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <strings.h>
#include <vector>

#include "kernel/driver.h"
#include "kernel/filexx.h"
#include "kernel/schedule.h"
#include "runtime/io_file.h"
#include "runtime/opxfile.h"
#include "runtime/run_files.h"
#include "runtime/stop_points.h"
#include "xu/xu_args.h"
#include "xu/xu_mem.h"
#include "xu/run_state.h"
#include "xu/xu_msg.h"
#include "xu/xu_string.h"

namespace nodrix {
namespace {

// Option words; the position of a word is the code xu_GetArgs returns.
const char* const flags[] = {"verbose", "prerun",  ":log",     "simulate", "help",
                             ":window", ":limits", "autosize", ":maxmem",  "quiet", ""};

// The words the message layer takes from the command line itself.
const char* const message_words[] = {"warning", "nowarning", "trace", "notrace", "ftrace", "noftrace"};

// The words of the command line that no option took are ignored, as they
// always were; each is named in a warning, with the option it most likely
// misspells.
void warn_ignored_words(int argc, char** argv) {
    std::vector<std::string_view> known;
    for (const char* const* w = flags; **w != '\0'; ++w) known.push_back(**w == ':' ? *w + 1 : *w);
    for (const char* w : message_words) known.push_back(w);
    for (int i = 1; i < argc; ++i) {
        const char* word = argv[i];
        if (word == nullptr || strcasecmp(word, "simulate") == 0) continue;
        const bool option = word[0] == '-' || word[0] == '/';
        std::string bare = option ? word + 1 : word;
        for (char& c : bare) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        // A word cut short or run on ("-verb", "-logfile") means the option it
        // shares its start with; otherwise the option a typo away.
        std::string near;
        int sharing = 0;
        for (std::string_view k : known)
            if (bare.size() >= 3 && (k.rfind(bare, 0) == 0 || std::string_view(bare).rfind(k, 0) == 0)) {
                near = k;
                ++sharing;
            }
        if (sharing != 1) near = closest_word(bare, known);
        opxwarn(std::string(option ? "Unknown option \"" : "Unknown argument \"") + word + "\" ignored" +
                (near.empty() ? "" : "; did you mean \"-" + near + "\"?"));
    }
}

const char* const help_text =
    "Usage: %s [-verbose] [-prerun] [-simulate] [-window PS] [-limits FILE] [-autosize] [-maxmem MIB]\n"
    "       [-log FILE] [-quiet] [-warning|-nowarning] [-help]\n"
    "Runs the project: a dimensioning pass that counts the kernel storage it needs,\n"
    "then the set-up of every block (spectra, filters, reports, memory map and delay file).\n"
    "  -verbose    show the information lines\n"
    "  -prerun     stop after the dimensioning pass (no simulation, even with -simulate)\n"
    "  -simulate   after the set-up, simulate the link sample by sample over the whole\n"
    "              observation time and write the measurements (reports, spectra, eyes, BER)\n"
    "  -window PS  length of the sources' emission window in ps (the project's value\n"
    "              otherwise); measurements behind the fibre need it longer than the\n"
    "              delay spread of the link plus their observation time\n"
    "  -limits FILE  kernel storage capacities from FILE, a limits file as the program\n"
    "              writes it; without the option, x0_<project>.hst is read when the\n"
    "              working directory holds it. No capacity goes below its default\n"
    "  -autosize   size the kernel storage to the dimensioning pass's counts and run on\n"
    "  -maxmem MIB refuse kernel storage beyond MIB MiB (default: the physical memory)\n"
    "  -log FILE   append every message to FILE\n"
    "  -quiet      no progress line while simulating (shown only on a terminal)\n"
    "  -warning, -nowarning   report (or not) zero-size allocations of the run-time layer\n"
    "  -help       this text\n"
    "Options start with '-' or '/' and may be written in any letter case; a word that is no\n"
    "option is ignored, with a warning.\n"
    "Exit status: 0 done, 1 an error was reported, 3 the kernel storage limits are too small\n"
    "(the counts the project needs are then in x0_<project>.hst, which the next run in the\n"
    "same directory reads; or run with -autosize), 130 or 143 interrupted by SIGINT or\n"
    "SIGTERM (the run's unfinished and working files are removed). A result file goes under\n"
    "its name only when complete; one that cannot be written is an error. The files of a\n"
    "run go in place together when it ends with status 0 or 3; after an error or an\n"
    "interruption none do, and those an earlier run left stay as they were.\n"
    "One run at a time per directory: a run holds the lock file x1_<project>.lck while it\n"
    "works, and another run started there stops with an error.\n"
    "Environment: BNLIB names the directory of the FFT plan wisdom file opwis.pln; write it\n"
    "once with nodrix-wisdom, otherwise every run measures its FFT plans, and runs measured\n"
    "apart may differ in the last bits; NODRIX_FFT_PLANS=estimate plans without measuring,\n"
    "the same way every time (slower transforms).\n"
    "NODRIX_THREADS=1 keeps the fibre's transforms on one thread (the results are the same).\n";

}  // namespace

bool parse_mib(const char* value, std::int64_t& mib) {
    if (value == nullptr || *value == '\0') return false;
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(value, &end, 10);
    if (*end != '\0' || errno != 0 || v <= 0 || v > INT64_MAX / (1024 * 1024)) return false;
    mib = v;
    return true;
}


std::int32_t opxmain_serck() {
    std::int32_t nerr = 0;
    opxget(&nerr, nullptr);
    return nerr;
}

XuMsg* open_messages(int* argc, char** argv) {
    return xu_MsgInit("Nodrix", 56, argc, argv);
}

int run_driver(std::int32_t prerun, const std::function<void(int status)>& after_run, bool put_files_in_place) {
    std::setvbuf(stderr, nullptr, _IONBF, 0);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const std::string& project = current_project().name;
    // The handlers first, so that no signal finds the lock taken and not
    // yet known to them.
    catch_interruptions();
    if (!lock_run_directory(run_lock_name(project), project)) {
        release_interruptions();
        return 1;
    }
    begin_run_files();
    stop_point("run-locked");
    std::int32_t status = 0;
    topmain(prerun, status);
    // What a block left open is incomplete (reported); a simulation leaves
    // working files only when it stopped before using them up.
    io_close_unfinished();
    units_close_unfinished();
    // A set-up run's working files are the filters' hand-over files, kept
    // for a later run.
    if (per_sample_run())
        remove_working_files();
    else
        keep_working_files();
    stop_point("run-ending");
    // The run's files go in place together when it ended well (done, or
    // stopped at its storage limits with the limits file); after an error
    // none of them do, and the files of an earlier run stay as they were.
    std::int32_t nerr = 0;
    opxget(&nerr, nullptr);
    if (!end_run_files(put_files_in_place && nerr == 0)) opxget(&nerr, nullptr);
    const int result = nerr >= 1 ? 1 : status;
    if (after_run) after_run(result);
    unlock_run_directory();
    release_interruptions();
    return result;
}

void open_log_file(XuMsg* messages, const char* path) {
    XuMsg* ctx = xu_MsgGetMessage(messages);
    // Without a value the option reopens the file named before, if any.
    const char* name = path != nullptr ? path : ctx->log_path;
    if (name == nullptr || *name == '\0') {
        opxwarn("No log file named after -log: the messages go to the standard error only");
        return;
    }
    const std::FILE* before = ctx->log;
    errno = 0;
    xu_MsgOutputFileAppend(messages, path);
    if (ctx->log == before)
        opxwarn(std::string("Cannot open the log file ") + name + ": " + std::strerror(errno != 0 ? errno : EIO) +
                "; the messages go to the standard error only");
}

void close_messages() { xu_MsgOutputFileClose(nullptr); }

int op_main(int argc, char** argv, const std::function<void(int status)>& after_run) {
    // One program run: messages, files and units of its own, and the project
    // its caller set.
    const ProjectDescription project = current_project();
    const OwnRunState run;
    set_project(project);
    std::int32_t prerun = 0;
    StorageSizing sizing;
    open_messages(&argc, argv);
    char* value = nullptr;
    for (int code; (code = xu_GetArgs(flags, &argc, argv, &value)) != -1;) {
        switch (code) {
            case 0: xu_MsgGetMessage(nullptr)->shown |= kMsgInfo; break;
            case 1: prerun = 1; break;
            case 2: open_log_file(nullptr, value); break;
            case 3: set_per_sample_run(true); break;
            case 4:
                std::printf(help_text, current_project().name.c_str());
                xu_MsgOutputFileClose(nullptr);
                return 0;
            case 5: {
                char* end = nullptr;
                const double ps = value != nullptr ? std::strtod(value, &end) : 0.0;
                // The window is a real: a length that rounds to 0 is no window.
                if (value == nullptr || end == value || *end != '\0' || !(ps > 0.0) || ps > 1e12 ||
                    !(static_cast<float>(ps) > 0.0f)) {
                    opxerr(std::string("Bad source window length: ") + (value != nullptr ? value : "(none)") +
                           "; give a positive number of ps");
                    xu_MsgOutputFileClose(nullptr);
                    return 1;
                }
                set_source_window(static_cast<float>(ps));
                break;
            }
            case 6:
                if (value == nullptr) {
                    opxerr("No limits file given: -limits FILE");
                    xu_MsgOutputFileClose(nullptr);
                    return 1;
                }
                sizing.limits_file = value;
                break;
            case 7: sizing.autosize = true; break;
            case 9: set_progress_line(false); break;
            case 8:
                if (!parse_mib(value, sizing.maxmem_mib)) {
                    opxerr(std::string("Bad memory cap: ") + (value != nullptr ? value : "(none)") +
                           "; give a positive whole number of MiB");
                    xu_MsgOutputFileClose(nullptr);
                    return 1;
                }
                break;
            default: break;
        }
    }
    // The simulation may also be asked for with the bare word.
    for (int i = 1; i < argc; ++i)
        if (argv[i] != nullptr && strcasecmp(argv[i], "simulate") == 0) set_per_sample_run(true);
    warn_ignored_words(argc, argv);
    // A run that stops after its dimensioning pass simulates nothing.
    if (prerun == 1) set_per_sample_run(false);
    set_storage_sizing(sizing);
    const int status = run_driver(prerun, after_run);
    close_messages();
    return status;
}

}  // namespace nodrix
