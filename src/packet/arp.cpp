// ARP and neighbour handling.
// The handlers below answer "command not available" until their subsystem lands.
#include "command/command_table.h"
#include "config/config_writer.h"
#include "config/show.h"
#include "packet/module.h"

int cmd_arp(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_no_arp(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int show_arphash(int argc, char **argv, FILE *out)
{
    return show_not_available(argc, argv, out);
}

int show_machash(int argc, char **argv, FILE *out)
{
    return show_not_available(argc, argv, out);
}

int show_vips(int argc, char **argv, FILE *out)
{
    return show_not_available(argc, argv, out);
}

void write_static_arps(FILE *, const char *)
{
}

int mod_arp(int, int, uint8_t *)
{
    return 0;  // ARP handling lands with the address tables
}
