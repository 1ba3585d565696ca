// The command table, in registration order, and the help texts.
#include "command/command_table.h"

#include <cstring>

#include "command/log.h"

// Registration order matters for abbreviations: a word that is no command's
// full name means the entry registered last among those it begins, so `s`
// alone runs `shutdown` and `snap <file>` runs `snapshot-full`. A word typed
// in full always reaches its own entry (`rms`, `ipdb`, `snapshot`).
const COMMAND commands[] = {
    {.name = "arp", .argc = 2, .handler = cmd_arp, .revert = cmd_no_arp},
    {.name = "benchmark", .argc = 3, .handler = cmd_benchmark, .revert = nullptr},
    {.name = "v3benchmark", .argc = 3, .handler = cmd_v3benchmark, .revert = nullptr},
    {.name = "bitwise_memcmp", .argc = 4, .handler = cmd_bitwise_memcmp, .revert = nullptr},
    {.name = "check", .argc = 1, .handler = cmd_check, .revert = nullptr},
    {.name = "clear", .argc = 2, .handler = cmd_clear, .revert = nullptr},
    {.name = "clisync", .argc = 1, .handler = cmd_clisync, .revert = nullptr},
    {.name = "commit", .argc = 3, .handler = cmd_commit, .revert = nullptr},
    {.name = "coredump", .argc = 1, .handler = cmd_coredump, .revert = nullptr},
    {.name = "disable", .argc = 3, .handler = cmd_disable, .revert = nullptr},
    {.name = "dump", .argc = 3, .handler = cmd_dump, .revert = cmd_no_dump},
    {.name = "dump", .argc = 2, .handler = nullptr, .revert = cmd_no_dump},
    {.name = "edit", .argc = 3, .handler = cmd_edit, .revert = nullptr},
    {.name = "enable", .argc = 3, .handler = cmd_enable, .revert = nullptr},
    {.name = "exit", .argc = 1, .handler = cmd_exit, .revert = nullptr},
    {.name = "gateway", .argc = 1, .handler = cmd_gateway, .revert = cmd_no_gateway},
    {.name = "gateway", .argc = 2, .handler = cmd_gateway, .revert = nullptr},
    {.name = "gateway", .argc = 3, .handler = cmd_gateway, .revert = nullptr},
    {.name = "help", .argc = 1, .handler = cmd_help, .revert = nullptr},
    {.name = "?", .argc = 1, .handler = cmd_help, .revert = nullptr},
    {.name = "help", .argc = 2, .handler = cmd_help, .revert = nullptr},
    {.name = "?", .argc = 2, .handler = cmd_help, .revert = nullptr},
    {.name = "hostname", .argc = 2, .handler = cmd_hostname, .revert = cmd_no_hostname},
    {.name = "hostname", .argc = 1, .handler = nullptr, .revert = cmd_no_hostname},
    {.name = "inject", .argc = 4, .handler = cmd_inject, .revert = nullptr},
    {.name = "inject", .argc = 5, .handler = cmd_inject, .revert = nullptr},
    {.name = "interface", .argc = 2, .handler = cmd_interface, .revert = nullptr},
    {.name = "interface", .argc = 3, .handler = cmd_interface, .revert = nullptr},
    {.name = "interface", .argc = 4, .handler = cmd_interface, .revert = nullptr},
    {.name = "ipallow", .argc = 2, .handler = cmd_ipallow, .revert = nullptr},
    {.name = "ipallow", .argc = 1, .handler = nullptr, .revert = cmd_no_ipallow},
    {.name = "ipdeny", .argc = 2, .handler = cmd_ipdeny, .revert = nullptr},
    {.name = "ipdeny", .argc = 1, .handler = nullptr, .revert = cmd_no_ipdeny},
    {.name = "ipdb", .argc = 2, .handler = cmd_ipdb, .revert = cmd_no_ipdb},
    {.name = "ipdb", .argc = 1, .handler = cmd_ipdb, .revert = cmd_no_ipdb},
    {.name = "ipdb6", .argc = 2, .handler = cmd_ipdb6, .revert = cmd_no_ipdb6},
    {.name = "ipdb6", .argc = 1, .handler = cmd_ipdb6, .revert = cmd_no_ipdb6},
    {.name = "lgrp", .argc = 3, .handler = cmd_lgrp, .revert = nullptr},
    {.name = "lgrp", .argc = 2, .handler = cmd_lgrp, .revert = cmd_no_lgrp},
    {.name = "lgrp", .argc = 1, .handler = nullptr, .revert = cmd_no_lgrp},
    {.name = "locate", .argc = 2, .handler = cmd_locate, .revert = nullptr},
    {.name = "log", .argc = 2, .handler = cmd_log, .revert = nullptr},
    {.name = "macallow", .argc = 2, .handler = cmd_macallow, .revert = nullptr},
    {.name = "macallow", .argc = 1, .handler = nullptr, .revert = cmd_no_macallow},
    {.name = "macdeny", .argc = 2, .handler = cmd_macdeny, .revert = nullptr},
    {.name = "macdeny", .argc = 1, .handler = nullptr, .revert = cmd_no_macdeny},
    {.name = "macrouter", .argc = 2, .handler = cmd_macrouter, .revert = nullptr},
    {.name = "macrouter", .argc = 1, .handler = nullptr, .revert = cmd_no_macrouter},
    {.name = "modules", .argc = 2, .handler = cmd_modules, .revert = nullptr},
    {.name = "modules", .argc = 1, .handler = nullptr, .revert = cmd_no_modules},
    {.name = "network", .argc = 4, .handler = cmd_network, .revert = nullptr},
    {.name = "network", .argc = 3, .handler = cmd_network, .revert = nullptr},
    {.name = "purge", .argc = 3, .handler = cmd_purge, .revert = nullptr},
    {.name = "quit", .argc = 1, .handler = cmd_exit, .revert = nullptr},
    {.name = "register", .argc = 3, .handler = cmd_register, .revert = nullptr},
    {.name = "reload", .argc = 1, .handler = cmd_reload, .revert = nullptr},
    {.name = "remark", .argc = 2, .handler = cmd_remark, .revert = cmd_no_remark},
    {.name = "remark", .argc = 1, .handler = nullptr, .revert = cmd_no_remark},
    {.name = "resync", .argc = 1, .handler = cmd_resync, .revert = nullptr},
    {.name = "rms", .argc = 2, .handler = cmd_rms, .revert = nullptr},
    {.name = "rmsession", .argc = 2, .handler = cmd_rmsession, .revert = nullptr},
    {.name = "rmt", .argc = 2, .handler = cmd_rmt, .revert = nullptr},
    {.name = "rndtest", .argc = 2, .handler = cmd_rndtest, .revert = nullptr},
    {.name = "save", .argc = 1, .handler = cmd_save, .revert = nullptr},
    {.name = "save", .argc = 2, .handler = cmd_save, .revert = nullptr},
    {.name = "show", .argc = 1, .handler = cmd_show, .revert = nullptr},
    {.name = "show", .argc = 2, .handler = cmd_show, .revert = nullptr},
    {.name = "show", .argc = 3, .handler = cmd_show, .revert = nullptr},
    {.name = "show", .argc = 4, .handler = cmd_show4, .revert = nullptr},
    {.name = "set", .argc = 3, .handler = cmd_set, .revert = nullptr},
    {.name = "set", .argc = 2, .handler = cmd_set, .revert = nullptr},
    {.name = "server", .argc = 4, .handler = cmd_server, .revert = nullptr},
    {.name = "server", .argc = 3, .handler = cmd_server, .revert = nullptr},
    {.name = "snapshot", .argc = 2, .handler = cmd_snapshot, .revert = nullptr},
    {.name = "snapshot-light", .argc = 2, .handler = cmd_snapshot, .revert = nullptr},
    {.name = "snapshot-full", .argc = 2, .handler = cmd_snapshot_full, .revert = nullptr},
    {.name = "snatrange", .argc = 3, .handler = cmd_snatrange, .revert = cmd_no_snatrange},
    {.name = "snatrange", .argc = 1, .handler = nullptr, .revert = cmd_no_snatrange},
    {.name = "sessiondump", .argc = 2, .handler = cmd_sessiondump, .revert = nullptr},
    {.name = "sessionload", .argc = 2, .handler = cmd_sessionload, .revert = nullptr},
    {.name = "stfill", .argc = 2, .handler = cmd_stfill, .revert = nullptr},
    {.name = "stop", .argc = 1, .handler = cmd_stop, .revert = nullptr},
    {.name = "shutdown", .argc = 1, .handler = cmd_stop, .revert = nullptr},
    {.name = "softdisable", .argc = 3, .handler = cmd_softdisable, .revert = nullptr},
    {.name = "target", .argc = 4, .handler = cmd_target, .revert = nullptr},
    {.name = "target", .argc = 3, .handler = cmd_target, .revert = nullptr},
    {.name = "tnat", .argc = 5, .handler = cmd_tnat, .revert = cmd_no_tnat},
    {.name = "tnat", .argc = 2, .handler = cmd_tnat, .revert = nullptr},
    {.name = "unregister", .argc = 3, .handler = cmd_unregister, .revert = nullptr},
    {.name = "vrrp", .argc = 3, .handler = cmd_vrrp, .revert = nullptr},
    {.name = "vrrp", .argc = 2, .handler = cmd_vrrp, .revert = nullptr},
    {.name = "wr", .argc = 1, .handler = cmd_save, .revert = nullptr},
    {.name = "}", .argc = 1, .handler = cmd_close_block, .revert = nullptr},
};
const int command_count = sizeof commands / sizeof commands[0];

void register_commands()
{
    for (const COMMAND &c : commands)
        cmdh_insert(cmdhash, c.name, c.argc, c.handler, c.revert);
}

int cmd_not_available(int, char **, FILE *)
{
    return cmd_error("command not available\n");
}

// The command list of `help`.
static const HELPLINE help_commands[] = {
    {"arp <ip4>", "declare an IPv4 address to be ARP-resolved"},
    {"benchmark <if1> <if2>", "loopback benchmark between two interfaces"},
    {"v3benchmark <if1> <if2>", "second form of the benchmark"},
    {"bitwise_memcmp <ip6> <ip6> <bits>", "compare the first bits of two IPv6 addresses"},
    {"check", "configuration check"},
    {"clear <counter>", "clear a counter"},
    {"clisync", "write the synchronisation character"},
    {"commit <kind> <list>", "register and enable networks, servers, targets"},
    {"coredump", "abort with a core image"},
    {"disable <kind> <list>", "disable networks, servers, targets"},
    {"dump <if> <directory>", "capture traffic of an interface to a directory"},
    {"edit <kind> <list>", "disable and unregister networks, servers, targets"},
    {"enable <kind> <list>", "enable networks, servers, targets"},
    {"exit", "prints \"please type EOF to exit\""},
    {"gateway ...", "gateway block and settings (help gateway)"},
    {"help [<topic>]", "command list, or help on a topic (help ?)"},
    {"hostname <name>", "node name (prompt, configuration)"},
    {"inject <if> <file> <count> [<delay>]", "inject frames from a capture file"},
    {"interface ...", "interface settings (help interface)"},
    {"ipallow <ip>", "add an address to the ipallow list or open its block"},
    {"ipdeny <ip>", "add an address to the ipdeny list or open its block"},
    {"ipdb [<file>]", "load the IPv4 location database"},
    {"ipdb6 [<file>]", "load the IPv6 location database"},
    {"lgrp ...", "location group block and settings"},
    {"locate <ip>", "look an address up in the location database"},
    {"log <message>", "write a message to the log"},
    {"macallow <mac>", "add a MAC address to the macallow list or open its block"},
    {"macdeny <mac>", "add a MAC address to the macdeny list or open its block"},
    {"macrouter <mac>", "declare a MAC address as routing device"},
    {"modules <list>", "set the module chain"},
    {"network ...", "network settings and block (help network)"},
    {"no <command>", "revert command"},
    {"purge <kind> <list>", "re-initialise servers or targets"},
    {"quit", "same as exit"},
    {"register <kind> <list>", "register networks, servers, targets"},
    {"reload", "reload the configuration in two passes"},
    {"remark <text>", "configuration remark (up to 63 characters)"},
    {"resync", "schedule a complete session table resynchronisation"},
    {"rms <id>", "remove a session table entry (exact lookup)"},
    {"rmsession <id>", "remove a session table entry"},
    {"rmt <target>", "remove all sessions of a target"},
    {"rndtest <n>", "diagnostic of the random-number function"},
    {"save [conf|private|all]", "save the configuration"},
    {"server ...", "server settings and block (help server)"},
    {"set <name> <value>", "set a parameter"},
    {"show <item>", "show an item (help show)"},
    {"snapshot <file>", "service data snapshot without the full session table"},
    {"snapshot-light <file>", "service data snapshot without the full session table"},
    {"snapshot-full <file>", "snapshot with the full session table"},
    {"snatrange <ip4> <ip4>", "SNAT IPv4 address range"},
    {"sessiondump <file>", "dump all sessions to a file"},
    {"sessionload <file>", "load sessions from a file"},
    {"softdisable target <list>", "stop new sessions for targets"},
    {"stfill <n>", "fill the session table with test entries"},
    {"stop", "terminate the daemon"},
    {"shutdown", "terminate the daemon"},
    {"target ...", "target settings and block (help target)"},
    {"tnat ...", "target NAT for outbound traffic"},
    {"unregister <kind> <list>", "unregister networks, servers, targets"},
    {"vip <ip4>", "represent VIP using ARP"},
    {"vrrp ...", "VRRP settings and block (help vrrp)"},
    {"wr", "same as save"},
    {"}", "close an open block"},
};

static const HELPLINE help_topics[] = {
    {"?", "list of help topics"},
    {"cledit", "command line editing keys"},
    {"gateway", "gateway commands"},
    {"interface", "interface commands"},
    {"network", "network commands"},
    {"server", "server commands"},
    {"show", "show items"},
    {"target", "target commands"},
    {"vrrp", "VRRP commands"},
};

static const HELPLINE help_cledit[] = {
    {"<up>", "previous line of the history"},
    {"<down>", "next line of the history"},
    {"<left>, <right>", "move the cursor"},
    {"<tab>", "redraw the line (no completion)"},
    {"^U", "delete everything left of the cursor"},
    {"^W", "delete the word left of the cursor"},
    {"<backspace>, <del>", "delete the character left of the cursor"},
    {"^D", "end the session"},
};

static const HELPLINE help_vrrp[] = {
    {"vrrp {", "open the VRRP block"},
    {"vrrp vrid <1-255>|none", "virtual router id (last byte of the virtual MAC)"},
    {"vrrp priority <1-255>|none", "priority of this node (255 = always master)"},
    {"vrrp network <1-10>|none", "network carrying the advertisements"},
    {"vrrp tracking enable|disable", "lower the priority by failed trackvals"},
    {"vrrp mscript <command>", "command run on becoming master"},
    {"vrrp bscript <command>", "command run on becoming backup"},
};

static const HELPLINE help_interface[] = {
    {"interface <name>", "create, register and enable an interface"},
    {"interface <n> {", "open the interface block"},
    {"interface <n> name <name>|none", "device name"},
    {"interface <n> trackval <0-254>|default", "VRRP priority lost while the link is down"},
    {"interface <n> threads <1-8>|default", "reader threads with multithreading"},
    {"interface <n> init <command>|none", "command run when the interface is enabled"},
    {"interface <n> alert <command>|none", "command run when the link is lost"},
    {"interface <n> upalert <command>|none", "command run when the link is detected"},
    {"interface <n> access raw|tap|vpn", "access method"},
};

static const HELPLINE help_network[] = {
    {"network <n> {", "open the network block"},
    {"network <n> addr <ip4>", "network address"},
    {"network <n> mask <ip4>", "network mask"},
    {"network <n> mask6 <0-128>|none", "IPv6 prefix length"},
    {"network <n> real <ip4>", "real address of this node"},
    {"network <n> virt <ip4>", "virtual (shared) address"},
    {"network <n> real6 <ip6>", "real IPv6 address of this node"},
    {"network <n> virt6 <ip6>", "virtual IPv6 address"},
    {"network <n> nat none|inside|outside", "nat mode"},
    {"network <n> name <name>|none", "network name"},
    {"network <n> interfaces <list>|none", "member interfaces (numbers or names)"},
    {"network <n> synciface <name>|none", "interface carrying session synchronisation"},
};

static const HELPLINE help_gateway[] = {
    {"gateway {", "open the gateway block"},
    {"gateway <ip4>", "IPv4 gateway"},
    {"gateway ipaddr <ip4>", "IPv4 gateway"},
    {"gateway ipaddr6 <ip6>", "IPv6 gateway"},
    {"gateway arp <interval>,<timeout>|off", "ARP check"},
    {"gateway nd6 <interval>,<timeout>|off", "neighbour discovery check"},
    {"gateway ping <interval>,<timeout>|off", "ICMP echo check"},
    {"gateway ping6 <interval>,<timeout>|off", "ICMPv6 echo check"},
    {"gateway trackval <0-254>|default", "VRRP priority lost while the gateway is down"},
    {"gateway alert <command>", "command run when the gateway goes down"},
    {"gateway upalert <command>", "command run when the gateway comes up"},
    {"no gateway", "remove the gateway"},
};

static const HELPLINE help_server[] = {
    {"server <n> {", "open the server block (close with })"},
    {"server <n> ipaddr <ip4>|any", "IPv4 address, any = every address"},
    {"server <n> sessionid <handler>", "src, src+port, src+dstport, src+ports, src+dst, dst+src, sip"},
    {"server <n> ipaddr6 <ip6>|none", "IPv6 address"},
    {"server <n> port <port>[,<port2>]", "port and second port (0 = any)"},
    {"server <n> gslbttl <10-86400>", "GSLB TTL"},
    {"server <n> portrel on|off", "port relevance"},
    {"server <n> proxy enable|disable", "proxy mode"},
    {"server <n> snat enable|disable", "source NAT"},
    {"server <n> failover normal|backup", "failover mode"},
    {"server <n> ipdb enable|disable", "use the IP location database"},
    {"server <n> gslb dispatch|enable|disable", "GSLB mode"},
    {"server <n> method <method>", "rr, hash, random, agent, rndagent, session, bw, bwin, bwout"},
    {"server <n> protocol any|tcp|udp|sctp", "protocol"},
    {"server <n> stimeout default|null|<10-172800>", "session timeout"},
    {"server <n> ftimeout default|<5-172800>", "timeout after FIN/RST"},
    {"server <n> targets none|<list>", "target list (up to 64)"},
    {"server <n> backups none|<list>", "backup list (up to 64)"},
    {"server <n> name none|<name>", "server name"},
    {"server <n> plugin none|\"<command>\"", "server plugin"},
};

static const HELPLINE help_target[] = {
    {"target <n> {", "open the target block (close with })"},
    {"target <n> ipaddr <ip4>|none", "IPv4 address"},
    {"target <n> ipaddr6 <ip6>|none", "IPv6 address"},
    {"target <n> sessionid <handler>", "dst, dst+port, dst+srcport, dst+ports, src+dst, dst+src, sip"},
    {"target <n> port <port>", "port"},
    {"target <n> router <ip4>", "next hop (also: via)"},
    {"target <n> protocol any|tcp|udp|sctp", "protocol"},
    {"target <n> snat enable|disable", "reverse source NAT"},
    {"target <n> autodisable on|off", "disable after repeated failures"},
    {"target <n> autodisablecount <1-10000>", "failures before autodisable"},
    {"target <n> screate on|off", "target connections create sessions"},
    {"target <n> ping off|[<ip4>,]<interval>,<timeout>", "ICMP echo check"},
    {"target <n> ping6 off|[<ip6>,]<interval>,<timeout>", "ICMPv6 echo check"},
    {"target <n> agent off|[<ip4>,]<port>,<interval>,<timeout>", "load agent check"},
    {"target <n> agent6 off|[<ip6>,]<port>,<interval>,<timeout>", "load agent check over IPv6"},
    {"target <n> tcpopen off|[<ip4>,]<port>,<interval>,<timeout>", "TCP connect check"},
    {"target <n> tcpopen6 off|[<ip6>,]<port>,<interval>,<timeout>", "TCP connect check over IPv6"},
    {"target <n> script none|\"<cmd>\",<interval>,<timeout>", "check script"},
    {"target <n> script6 none|\"<cmd>\",<interval>,<timeout>", "check script for IPv6"},
    {"target <n> ascript none|\"<cmd>\",<interval>,<timeout>", "agent script (load value)"},
    {"target <n> maxagent default|<0-1000000>", "highest usable agent value"},
    {"target <n> maxsessions default|<0-1000000>", "session limit"},
    {"target <n> maxgrpsessions default|<0-1000000>", "session group limit"},
    {"target <n> sessiongroup default|<0-100>", "session group"},
    {"target <n> trackval default|<0-254>", "VRRP priority decrement while down"},
    {"target <n> weight <1-100>", "selection weight"},
    {"target <n> offset <n>", "added to the load value"},
    {"target <n> scale <float>", "multiplies the load value"},
    {"target <n> alert none|\"<command>\"", "command run when the target goes down"},
    {"target <n> upalert none|\"<command>\"", "command run when the target comes up"},
    {"target <n> lgrp none|<A-Z>", "location group"},
    {"target <n> name none|<name>", "target name"},
    {"target <n> dsr enable|disable", "direct server return"},
    {"target <n> pseudo enable|disable", "pseudo target (probed only)"},
};

static const HELPLINE help_show[] = {
    {"show arphash", "show arp hashtable"},
    {"show benchmark", "show benchmark status and results"},
    {"show break", "show current process break"},
    {"show conf", "show current configuration"},
    {"show debugscopes", "show available debugscopes"},
    {"show gateway", "show gateway info and status"},
    {"show ifstat", "show interface statistics"},
    {"show instance", "show current instance number"},
    {"show lgrp [<A-Z>]", "show location group information"},
    {"show locations", "show IP location database"},
    {"show log", "show recent log messages"},
    {"show machash", "show learned mac addresses"},
    {"show maxbucket", "show session table max bucket list length"},
    {"show modules", "show available and active modules"},
    {"show nat", "show network address translations"},
    {"show networks", "show specified networks"},
    {"show network <n>", "show network <n> information"},
    {"show nous", "show number of unsync'ed sessions"},
    {"show parameters", "show settable parameter data"},
    {"show private", "show private configuration data"},
    {"show servers", "show server overview"},
    {"show server <n>", "show status of server <n>"},
    {"show sessions", "show session table information"},
    {"show snat", "show SNAT information"},
    {"show startuplog", "show startup log messages"},
    {"show stinfo", "show session hashtable information"},
    {"show targets", "show target overview"},
    {"show target <n>", "show status of target <n>"},
    {"show threads", "show threads overview"},
    {"show uptime", "show uptime in seconds"},
    {"show vips", "show vips and their mac-addresses"},
    {"show version", "display version information"},
    {"show vrrp", "display VRRP status"},
};

template <size_t N>
static void print_help(FILE *out, const HELPLINE (&lines)[N])
{
    for (const HELPLINE &l : lines)
        fprintf(out, "  %-38s %s\n", l.form, l.meaning);
}

int cmd_help(int argc, char **argv, FILE *out)
{
    if (argc == 1) {
        fprintf(out, "available commands, type EOF (^D) to exit:\n");
        print_help(out, help_commands);
        return 1;
    }
    const char *topic = argv[1];
    if (keyword_match(topic, "?")) {
        fprintf(out, "available help topics:\n");
        print_help(out, help_topics);
        return 1;
    }
    // Topics in the order they are tried: `help s` shows the servers.
    if (keyword_match(topic, "cledit"))
        print_help(out, help_cledit);
    else if (keyword_match(topic, "vrrp"))
        print_help(out, help_vrrp);
    else if (keyword_match(topic, "interface"))
        print_help(out, help_interface);
    else if (keyword_match(topic, "network"))
        print_help(out, help_network);
    else if (keyword_match(topic, "gateway"))
        print_help(out, help_gateway);
    else if (keyword_match(topic, "server"))
        print_help(out, help_server);
    else if (keyword_match(topic, "target"))
        print_help(out, help_target);
    else if (keyword_match(topic, "show"))
        print_help(out, help_show);
    else
        fprintf(out, "invalid help topic, try \"help ?\" for a list of available topics\n");
    return 1;
}
