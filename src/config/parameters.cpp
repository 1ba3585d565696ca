// The parameter table, `set` and `show parameters`.
#include "config/parameters.h"

#include <cstdlib>
#include <initializer_list>
#include <cstring>

#include "command/interpreter.h"
#include "command/tp.h"

PARAMETER params[P_COUNT] = {
    {"arplookup", 5, 60, 10, 10, "initial ARP interval for unknown addresses"},
    {"arprefresh", 60, 3600, 300, 300, "ARP refresh interval for kniwn addresses"},
    {"arptimeout", 0, 86400, 0, 0, "ARP timeout (0 = disabled)"},
    {"backupalerts", 0, 1, 1, 1, ""},
    {"bmduration", 10, 86400, 300, 300, ""},
    {"bmpsize", 20, 1514, 1514, 1514, ""},
    {"bmwsize", 1, 10000, 128, 128, ""},
    {"kvnfilter", 0, 1, 1, 1, ""},
    {"debugscope", 0, 9, 0, 0, ""},
    {"dumprotation", 1, 1048576, 1024, 1024, ""},
    {"gnatdlimit", 10, 500, 10, 10, ""},
    {"gratarpremind", 0, 120, 0, 0, ""},
    {"hashbytes4", 1, 4, 4, 4, ""},
    {"hashbytes6", 1, 16, 16, 16, ""},
    {"hcportoffset", 1024, 65535, 30000, 30000, ""},
    {"ipforwarding", 0, 1, 0, 0, ""},
    {"localdsr", 0, 1, 0, 0, ""},
    {"localvirt", 0, 1, 0, 0, ""},
    {"maxsyncps", 0, 10000, 0, 0, ""},
    {"multithreading", 0, 1, 0, 0, ""},
    {"natdlimit", 10, 500, 10, 10, ""},
    {"natscan", 1, 20, 10, 10, ""},
    {"natsync", 0, 1, 1, 1, ""},
    {"natsynciv", 10, 120, 10, 10, ""},
    {"nattimeout", 10, 172800, 600, 600, ""},
    {"outmtu", 0, 1514, 0, 0, ""},
    {"psvrelearn", 0, 1, 0, 0, ""},
    {"pthreadstacksize", 0, 1000000, 204800, 204800, "pthread stacksize, 0=off"},
    {"sendprobes", 0, 1, 0, 0, ""},
    {"sessionautoresync", 0, 1, 0, 0, "1=autoresync active, 0=autoresync off"},
    {"sessionarrtimeout", 0, 3600, 60, 60, "session autoresync request timeout"},
    {"sessiongclimit", 1000, 500000, 100000, 100000, "session gc limit for outdated sessions"},
    {"sessiondlimit", 10, 1000, 10, 10, ""},
    {"sessionscan", 1, 20, 10, 10, ""},
    {"sessionscanbup", 1, 1000, 100, 100, ""},
    {"sessionsync", 0, 1, 1, 1, ""},
    {"sessionsyncack", 0, 1, 0, 0, ""},
    {"sessionsyncetype", 0, 1, 0, 0, ""},
    {"sessionsynciv", 10, 120, 10, 10, ""},
    {"sessiontimeout", 10, 172800, 600, 600, ""},
    {"snattimeout", 10, 172800, 1800, 1800, ""},
    {"syncackbdelay", 1, 60, 10, 10, "initial delay after a backup accepts ST syncs"},
    {"syncackmaxps", 1, 10000, 2000, 2000, "maximum syncs per second"},
    {"syncackresend", 1, 60, 5, 5, "resend sync after N seconds"},
    {"syncackwsize", 1, 10000, 100, 100, "window size for session table sync/ack"},
    {"stickytarget", 0, 1, 1, 1, "stick target MAC address to interface seen first"},
    {"strictrouting", 0, 1, 1, 1, ""},
    {"vrrpmasterdown", 3, 10, 3, 3, ""},
    {"vrrppreempt", 0, 1, 0, 0, ""},
    {"vrrppreemptts", 0, 100, 0, 0, ""},
    {"vrrpstateplugin", 0, 1, 0, 0, "if set to 1 VRRP state changes are reported to all server plugins"},
};

void params_reset()
{
    for (auto &p : params)
        p.current = p.def;
}

int cmd_set(int argc, char **argv, FILE *)
{
    if (argc == 2) {
        if (strcmp(argv[1], "{") == 0) {
            block_open("set", "");
            return 1;
        }
        if (strcmp(argv[1], "}") == 0) {
            block_close();
            return 1;
        }
        return cmd_error("argument error\n");
    }
    PARAMETER *p = nullptr;
    for (auto &candidate : params) {
        if (strcmp(candidate.name, argv[1]) == 0) {
            p = &candidate;
            break;
        }
    }
    if (p == nullptr)
        return cmd_error("parameter %s unknown\n", argv[1]);
    int value = p->def;
    if (!keyword_match(argv[2], "default")) {
        // A word without digits reads as 0. The number is compared as
        // typed: every lower bound is 0 or more, so negative values never
        // pass, and a number beyond 32 bits cannot wrap into the bounds.
        long long typed = strtoll(argv[2], nullptr, 10);
        if (typed < p->min || typed > p->max)
            return cmd_error("value %lld out of bounds\n", typed);
        value = (int)typed;
    }
    // The dry run of a reload only checks the value: the packet path reads
    // the parameters.
    if (!reload_dry_run())
        p->current = value;
    return 1;
}

int show_parameters(int, char **, FILE *out)
{
    TP *tp = tp_new(out);
    for (const char *h : {"name", "#min", "#max", "#default", "#current", "description"})
        tp_cell(tp, h);
    tp_newrow(tp);
    for (const auto &p : params) {
        tp_cell(tp, p.name);
        tp_int(tp, p.min);
        tp_int(tp, p.max);
        tp_int(tp, p.def);
        tp_int(tp, p.current);
        tp_cell(tp, p.description);
        tp_newrow(tp);
    }
    tp_print(tp);
    tp_free(tp);
    return 1;
}

void write_parameters(FILE *out, const char *wordfmt)
{
    int changed = 0;
    for (const auto &p : params)
        changed += p.current != p.def;
    if (changed == 0)
        return;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    if (changed == 1) {
        for (const auto &p : params)
            if (p.current != p.def) {
                fprintf(out, wordfmt, "set");
                fprintf(out, "%s %d\n", p.name, p.current);
            }
        return;
    }
    fprintf(out, wordfmt, "set");
    fprintf(out, "{\n");
    for (const auto &p : params)
        if (p.current != p.def) {
            fprintf(out, wordfmt, "");
            fprintf(out, "%s %d\n", p.name, p.current);
        }
    fprintf(out, wordfmt, "}");
    fprintf(out, "\n");
#pragma GCC diagnostic pop
}
