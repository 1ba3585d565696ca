// Program entry: command line, instances, start-up sequence.
#include <cstdio>

#include "command/command_table.h"
#include "command/log.h"
#include "daemon/daemon.h"

int kvn_main(int, char **)
{
    fprintf(stderr, "  usage: kvn [-df] start|stop|restart|status|control [instance]\n\n");
    return EXIT_USAGE;
}
