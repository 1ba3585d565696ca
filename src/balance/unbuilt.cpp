// Session table, balancing and selection commands, not built into this release yet.
// The handlers below answer "command not available" until their subsystem lands.
#include "command/command_table.h"
#include "config/config_writer.h"
#include "config/show.h"

int cmd_rms(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_rmsession(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_rmt(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_sessiondump(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_sessionload(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_stfill(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int show_sessions(int argc, char **argv, FILE *out)
{
    return show_not_available(argc, argv, out);
}

int show_stinfo(int argc, char **argv, FILE *out)
{
    return show_not_available(argc, argv, out);
}

int show_maxbucket(int argc, char **argv, FILE *out)
{
    return show_not_available(argc, argv, out);
}
