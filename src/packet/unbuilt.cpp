// Routing and NAT commands, not built into this release yet.
// The handlers below answer "command not available" until their subsystem lands.
#include "command/command_table.h"
#include "config/config_writer.h"
#include "config/show.h"

int cmd_tnat(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_no_tnat(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

void write_tnat(FILE *, const char *)
{
}
