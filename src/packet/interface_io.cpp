// Interface access and I/O threads.
// The handlers below answer "command not available" until their subsystem lands.
#include "command/command_table.h"
#include "config/show.h"

int show_ifstat(int argc, char **argv, FILE *out)
{
    return show_not_available(argc, argv, out);
}

int show_threads(int argc, char **argv, FILE *out)
{
    return show_not_available(argc, argv, out);
}
