// ostrel: the command-line front end (see Cli.h).
#include "Cli.h"

int main(int argc, char** argv) {
    return OstrelCli::Main(argc, argv);
}
