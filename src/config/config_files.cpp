// Configuration files: load, reload, save.
// The handlers below answer "command not available" until their subsystem lands.
#include "command/command_table.h"
#include "config/show.h"

int cmd_reload(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_remark(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_no_remark(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_save(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int show_conf(int argc, char **argv, FILE *out)
{
    return show_not_available(argc, argv, out);
}

int show_private(int argc, char **argv, FILE *out)
{
    return show_not_available(argc, argv, out);
}

int load_config()
{
    return 1;  // configuration files are read once the file loader lands
}
