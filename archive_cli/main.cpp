// tresmo-cli: the archive from the command line. Everything happens in runCli, which keeps
// every exception inside.
#include "archive_cli/Cli.h"

int main(int argc, char** argv) {
    return cli::runCli(argc, argv);
}
