// Session synchronisation commands, not built into this release yet.
// The handler below answers "command not available" until its subsystem lands.
#include "command/command_table.h"

int cmd_resync(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}
