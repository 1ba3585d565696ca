// Object lifecycle commands: register, unregister, enable, disable, commit, edit, purge, softdisable.
// The handlers below answer "command not available" until their subsystem lands.
#include "command/command_table.h"
#include "config/show.h"

int cmd_register(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_unregister(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_enable(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_disable(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_commit(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_edit(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_purge(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_softdisable(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}
