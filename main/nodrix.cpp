// nodrix: runs any link from its description file.
#include "main/nodrix_cli.h"

int main(int argc, char** argv) { return nodrix::nodrix_main(argc, argv); }
