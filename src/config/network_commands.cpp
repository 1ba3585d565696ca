// Network, interface, gateway and VRRP commands.
// The handlers below answer "command not available" until their subsystem lands.
#include "command/command_table.h"
#include "config/config_writer.h"
#include "config/show.h"

int cmd_network(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_interface(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_gateway(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_no_gateway(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int cmd_vrrp(int argc, char **argv, FILE *out)
{
    return cmd_not_available(argc, argv, out);
}

int show_networks(int argc, char **argv, FILE *out)
{
    return show_not_available(argc, argv, out);
}

int show_network(int argc, char **argv, FILE *out)
{
    return show_not_available(argc, argv, out);
}

int show_gateway(int argc, char **argv, FILE *out)
{
    return show_not_available(argc, argv, out);
}

int show_vrrp(int argc, char **argv, FILE *out)
{
    return show_not_available(argc, argv, out);
}

void write_interface_block(FILE *, const char *, int)
{
}

void write_vrrp_block(FILE *, const char *)
{
}

void write_network_block(FILE *, const char *, int)
{
}

void write_gateway_block(FILE *, const char *)
{
}
