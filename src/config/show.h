// The show dispatcher and the items it dispatches to. Each item is
// produced by its own subsystem; this header is the one list of them.
#pragma once

#include <cstdio>

using SHOWHANDLER = int (*)(int argc, char **argv, FILE *out);

struct SHOWITEM {
    const char *name;     // item word, matched by abbreviation in table order
    int argc;             // word count of the show line, 0 for any
    SHOWHANDLER handler;  // argv[0] is "show", argv[1] the item word
    const char *help;     // help text of `show ?`
};

extern const SHOWITEM show_items[];
extern const int show_item_count;

// The reply of an item whose subsystem is not built into this release.
int show_not_available(int argc, char **argv, FILE *out);

int show_arphash(int argc, char **argv, FILE *out);
int show_benchmark(int argc, char **argv, FILE *out);
int show_break(int argc, char **argv, FILE *out);
int show_conf(int argc, char **argv, FILE *out);
int show_debugscopes(int argc, char **argv, FILE *out);
int show_gateway(int argc, char **argv, FILE *out);
int show_ifstat(int argc, char **argv, FILE *out);
int show_instance(int argc, char **argv, FILE *out);
int show_lgrp(int argc, char **argv, FILE *out);
int show_locations(int argc, char **argv, FILE *out);
int show_log(int argc, char **argv, FILE *out);
int show_machash(int argc, char **argv, FILE *out);
int show_maxbucket(int argc, char **argv, FILE *out);
int show_modules(int argc, char **argv, FILE *out);
int show_nat(int argc, char **argv, FILE *out);
int show_networks(int argc, char **argv, FILE *out);
int show_network(int argc, char **argv, FILE *out);
int show_nous(int argc, char **argv, FILE *out);
int show_parameters(int argc, char **argv, FILE *out);
int show_private(int argc, char **argv, FILE *out);
int show_servers(int argc, char **argv, FILE *out);
int show_server(int argc, char **argv, FILE *out);
int show_sessions(int argc, char **argv, FILE *out);
int show_sessiongroups(int argc, char **argv, FILE *out);
int show_sizes(int argc, char **argv, FILE *out);
int show_snat(int argc, char **argv, FILE *out);
int show_startuplog(int argc, char **argv, FILE *out);
int show_stinfo(int argc, char **argv, FILE *out);
int show_targets(int argc, char **argv, FILE *out);
int show_target(int argc, char **argv, FILE *out);
int show_threads(int argc, char **argv, FILE *out);
int show_uptime(int argc, char **argv, FILE *out);
int show_vips(int argc, char **argv, FILE *out);
int show_version(int argc, char **argv, FILE *out);
int show_vrrp(int argc, char **argv, FILE *out);
