// The show dispatcher: `show <item> [<arg> [<arg>]]`, the item word
// abbreviated by the usual rule and matched in table order.
#include "config/show.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "command/command_table.h"

const SHOWITEM show_items[] = {
    {"arphash", 0, show_arphash, "show arp hashtable"},
    {"benchmark", 0, show_benchmark, "show benchmark status and results"},
    {"break", 0, show_break, "show current process break"},
    {"conf", 0, show_conf, "show current configuration"},
    {"run", 0, show_conf, "show current configuration"},
    {"debugscopes", 0, show_debugscopes, "show available debugscopes"},
    {"gateway", 0, show_gateway, "show gateway info and status"},
    {"ifstat", 0, show_ifstat, "show interface statistics"},
    {"interfaces", 0, show_ifstat, "show interface statistics"},
    {"instance", 0, show_instance, "show current instance number"},
    {"lgrp", 0, show_lgrp, "show location group information"},
    {"locations", 0, show_locations, "show IP location database"},
    {"ipdb", 0, show_locations, "show IP location database"},
    {"log", 0, show_log, "show recent log messages"},
    {"machash", 0, show_machash, "show learned mac addresses"},
    {"maxbucket", 0, show_maxbucket, "show session table max bucket list length"},
    {"modules", 0, show_modules, "show available and active modules"},
    {"nat", 0, show_nat, "show network address translations"},
    {"networks", 2, show_networks, "show specified networks"},
    {"network", 3, show_network, "show network <n> information"},
    {"nous", 0, show_nous, "show number of unsync'ed sessions"},
    {"parameters", 0, show_parameters, "show settable parameter data"},
    {"private", 0, show_private, "show private configuration data"},
    {"servers", 2, show_servers, "show server overview"},
    {"server", 3, show_server, "show status of server <n>"},
    {"sessions", 0, show_sessions, "show session table information"},
    {"sessiongroups", 0, show_sessiongroups, "show session groups and their sessions"},
    {"sizes", 0, show_sizes, "show session table structure sizes"},
    {"snat", 0, show_snat, "show SNAT information"},
    {"startuplog", 0, show_startuplog, "show startup log messages"},
    {"stinfo", 0, show_stinfo, "show session hashtable information"},
    {"targets", 2, show_targets, "show target overview"},
    {"target", 3, show_target, "show status of target <n>"},
    {"threads", 0, show_threads, "show threads overview"},
    {"uptime", 0, show_uptime, "show uptime in seconds"},
    {"vips", 0, show_vips, "show vips and their mac-addresses"},
    {"version", 0, show_version, "display version information"},
    {"vrrp", 0, show_vrrp, "display VRRP status"},
};
const int show_item_count = sizeof show_items / sizeof show_items[0];

int show_not_available(int, char **argv, FILE *)
{
    return cmd_error("item %s not available\n", argv[1]);
}

static int show_list(FILE *out)
{
    for (const SHOWITEM &item : show_items)
        fprintf(out, "  %-12s %s\n", item.name, item.help);
    return 1;
}

int cmd_show(int argc, char **argv, FILE *out)
{
    if (argc == 1 || strcmp(argv[1], "?") == 0)
        return show_list(out);
    for (const SHOWITEM &item : show_items) {
        if ((item.argc == 0 || item.argc == argc) && keyword_match(argv[1], item.name))
            return item.handler(argc, argv, out);
    }
    return cmd_error("item %s unknown, type show ? for list\n", argv[1]);
}

int cmd_show4(int argc, char **argv, FILE *out)
{
    return cmd_show(argc, argv, out);
}

int show_break(int, char **, FILE *out)
{
    errno = 0;
    void *brk = sbrk(0);
    if (brk == (void *)-1)
        fprintf(out, "  sbrk returns errno=%d\n", errno);
    else
        fprintf(out, "  current break is %p\n", brk);
    return 1;
}
