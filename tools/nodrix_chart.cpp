// nodrix-chart: a command for users to look into the chart files of a run.
#include <iostream>

#include "tools/chart_tool.h"
#include "xu/xu_msg.h"

int main(int argc, char** argv) {
    // The chart reader's own reports carry the command's name.
    nodrix::xu_MsgInit("nodrix-chart", 0, &argc, argv);
    return nodrix::chart::chart_tool_main(argc, argv, std::cout, std::cerr);
}
