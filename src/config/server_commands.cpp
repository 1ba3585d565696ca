// Server commands.
// The handlers below answer "command not available" until their subsystem lands.
#include "command/command_table.h"
#include "config/config_writer.h"
#include "config/show.h"

int cmd_server(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int show_servers(int argc, char **argv, FILE *out)
{
    return show_not_available(argc, argv, out);
}

int show_server(int argc, char **argv, FILE *out)
{
    return show_not_available(argc, argv, out);
}

void write_server_block(FILE *, const char *, int)
{
}
