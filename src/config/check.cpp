// Configuration check.
// The handlers below answer "command not available" until their subsystem lands.
#include "command/command_table.h"
#include "config/show.h"

int cmd_check(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}
