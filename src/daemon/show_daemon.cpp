// Show items of the daemon: instance, version, uptime.
// The handlers below answer "command not available" until their subsystem lands.
#include "command/command_table.h"
#include "config/show.h"

int show_instance(int argc, char **argv, FILE *out)
{
    return show_not_available(argc, argv, out);
}

int show_version(int argc, char **argv, FILE *out)
{
    return show_not_available(argc, argv, out);
}

int show_uptime(int argc, char **argv, FILE *out)
{
    return show_not_available(argc, argv, out);
}
