#include "main/op_main.h"

#include <cstdio>
#include <cstdlib>

#include "kernel/driver.h"
#include "runtime/opxfile.h"
#include "xu/xu_args.h"
#include "xu/xu_mem.h"
#include "xu/xu_msg.h"

namespace nodrix {
namespace {

XuMsg* message_context = nullptr;

// Option words; the position of a word is the code xu_GetArgs returns.
const char* const flags[] = {"verbose", "prerun", ":log", ""};

}  // namespace

std::int32_t opxmain_serck() {
    std::int32_t nerr = 0;
    opxget(&nerr, nullptr);
    if (nerr > 0) {
        xu_MsgOutputFileClose(message_context);
        std::fflush(nullptr);
        std::exit(1);
    }
    return nerr;
}

int op_main(int argc, char** argv) {
    std::int32_t prerun = 0;
    std::int32_t status = 0;
    xu_mem_init(nullptr);
    message_context = xu_MsgInit("Nodrix", 56, &argc, argv);
    char* value = nullptr;
    for (int code; (code = xu_GetArgs(flags, &argc, argv, &value)) != -1;) {
        switch (code) {
            case 0: xu_MsgGetMessage(message_context)->shown |= kMsgInfo; break;
            case 1: prerun = 1; break;
            case 2: xu_MsgOutputFileAppend(message_context, value); break;
            default: break;
        }
    }
    std::setvbuf(stderr, nullptr, _IONBF, 0);
    std::setvbuf(stdout, nullptr, _IONBF, 0);

    topmain(prerun, status);

    std::int32_t nerr = 0;
    opxget(&nerr, nullptr);
    xu_MsgOutputFileClose(message_context);
    return nerr >= 1 ? 1 : status;
}

}  // namespace nodrix
