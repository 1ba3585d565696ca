// Module chain and filter lists.
// The handlers below answer "command not available" until their subsystem lands.
#include "command/command_table.h"
#include "config/config_writer.h"
#include "config/show.h"

int cmd_modules(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_no_modules(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_ipallow(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_no_ipallow(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_ipdeny(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_no_ipdeny(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_macallow(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_no_macallow(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_macdeny(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_no_macdeny(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_macrouter(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_no_macrouter(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int show_modules(int argc, char **argv, FILE *out)
{
    return show_not_available(argc, argv, out);
}

void write_module_chain(FILE *, const char *)
{
}

void write_filter_lists(FILE *, const char *)
{
}
