// Diagnostics commands, not built into this release yet.
// The handlers below answer "command not available" until their subsystem lands.
#include "command/command_table.h"
#include "config/show.h"

int cmd_benchmark(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_v3benchmark(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_dump(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_no_dump(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_inject(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_snapshot(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_snapshot_full(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int show_benchmark(int argc, char **argv, FILE *out)
{
    return show_not_available(argc, argv, out);
}
