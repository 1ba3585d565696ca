// Location database commands, not built into this release yet.
// The handlers below answer "command not available" until their subsystem lands.
#include "command/command_table.h"
#include "config/config_writer.h"
#include "config/show.h"

int cmd_clear(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_ipdb(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_no_ipdb(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_ipdb6(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_no_ipdb6(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_lgrp(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_no_lgrp(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_locate(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int show_lgrp(int argc, char **argv, FILE *out)
{
    return show_not_available(argc, argv, out);
}

int show_locations(int argc, char **argv, FILE *out)
{
    return show_not_available(argc, argv, out);
}

void write_ipdb(FILE *, const char *)
{
}
