// tresmo-cli: the archive from the command line. Everything happens in runCli, which keeps
// every exception inside.
#include "archive_cli/Cli.h"

#include "archive/os/os.h"

int main(int argc, char** argv) {
    os::keepFreedMemory();
    return cli::runCli(argc, argv);
}
