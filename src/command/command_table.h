// The command table of the whole daemon and the handlers it names.
//
// Every command of the language is one row of commands[] in
// command_table.cpp, in registration order: within one first letter the
// most recently registered entry is found first, so the row order decides
// what an abbreviation means. Handlers live with their subsystem; this
// header is the one list of their names.
#pragma once

#include <cstdio>

#include "command/interpreter.h"

struct COMMAND {
    const char *name;     // command word
    int argc;             // word count including the command word
    CMDHANDLER handler;   // null: the row exists only for its `no` form
    CMDHANDLER revert;    // `no` form, null when not revertable
};

extern const COMMAND commands[];
extern const int command_count;

// Registers every row into cmdhash (start-up, and tests).
void register_commands();

// Help texts: the command list and the topics.
struct HELPLINE {
    const char *form;     // argument form
    const char *meaning;  // one-line meaning
};
int cmd_help(int argc, char **argv, FILE *out);

// The reply of a command whose subsystem is not built into this release.
int cmd_not_available(int argc, char **argv, FILE *out);

// Built-in commands of the interpreter.
int cmd_bitwise_memcmp(int argc, char **argv, FILE *out);
int cmd_clisync(int argc, char **argv, FILE *out);
int cmd_coredump(int argc, char **argv, FILE *out);
int cmd_exit(int argc, char **argv, FILE *out);
int cmd_hostname(int argc, char **argv, FILE *out);
int cmd_no_hostname(int argc, char **argv, FILE *out);
int cmd_log(int argc, char **argv, FILE *out);
int cmd_stop(int argc, char **argv, FILE *out);
int cmd_close_block(int argc, char **argv, FILE *out);

// Object lifecycle (config/lifecycle.cpp).
int cmd_register(int argc, char **argv, FILE *out);
int cmd_unregister(int argc, char **argv, FILE *out);
int cmd_enable(int argc, char **argv, FILE *out);
int cmd_disable(int argc, char **argv, FILE *out);
int cmd_commit(int argc, char **argv, FILE *out);
int cmd_edit(int argc, char **argv, FILE *out);
int cmd_purge(int argc, char **argv, FILE *out);
int cmd_softdisable(int argc, char **argv, FILE *out);

// Network, interface, gateway and VRRP settings (config/network_commands.cpp).
int cmd_network(int argc, char **argv, FILE *out);
int cmd_interface(int argc, char **argv, FILE *out);
int cmd_gateway(int argc, char **argv, FILE *out);
int cmd_no_gateway(int argc, char **argv, FILE *out);
int cmd_vrrp(int argc, char **argv, FILE *out);

// Servers and targets (config/server_commands.cpp, config/target_commands.cpp).
int cmd_server(int argc, char **argv, FILE *out);
int cmd_target(int argc, char **argv, FILE *out);

// Configuration files and check (config/config_files.cpp, config/check.cpp).
int cmd_reload(int argc, char **argv, FILE *out);
int cmd_remark(int argc, char **argv, FILE *out);
int cmd_no_remark(int argc, char **argv, FILE *out);
int cmd_save(int argc, char **argv, FILE *out);
int cmd_check(int argc, char **argv, FILE *out);

// Parameters and show (config/parameters.cpp, config/show.cpp).
int cmd_set(int argc, char **argv, FILE *out);
int cmd_show(int argc, char **argv, FILE *out);
int cmd_show4(int argc, char **argv, FILE *out);

// Module chain and filter lists (packet/chain.cpp), ARP (packet/arp.cpp).
int cmd_modules(int argc, char **argv, FILE *out);
int cmd_no_modules(int argc, char **argv, FILE *out);
int cmd_ipallow(int argc, char **argv, FILE *out);
int cmd_no_ipallow(int argc, char **argv, FILE *out);
int cmd_ipdeny(int argc, char **argv, FILE *out);
int cmd_no_ipdeny(int argc, char **argv, FILE *out);
int cmd_macallow(int argc, char **argv, FILE *out);
int cmd_no_macallow(int argc, char **argv, FILE *out);
int cmd_macdeny(int argc, char **argv, FILE *out);
int cmd_no_macdeny(int argc, char **argv, FILE *out);
int cmd_macrouter(int argc, char **argv, FILE *out);
int cmd_no_macrouter(int argc, char **argv, FILE *out);
int cmd_arp(int argc, char **argv, FILE *out);
int cmd_no_arp(int argc, char **argv, FILE *out);

// Routing and NAT (packet).
int cmd_tnat(int argc, char **argv, FILE *out);
int cmd_no_tnat(int argc, char **argv, FILE *out);
int cmd_snatrange(int argc, char **argv, FILE *out);
int cmd_no_snatrange(int argc, char **argv, FILE *out);

// Session table, balancing and selection (balance).
int cmd_rms(int argc, char **argv, FILE *out);
int cmd_rmsession(int argc, char **argv, FILE *out);
int cmd_rmt(int argc, char **argv, FILE *out);
int cmd_sessiondump(int argc, char **argv, FILE *out);
int cmd_sessionload(int argc, char **argv, FILE *out);
int cmd_stfill(int argc, char **argv, FILE *out);
int cmd_rndtest(int argc, char **argv, FILE *out);

// Synchronisation (ha).
int cmd_resync(int argc, char **argv, FILE *out);

// Location database (ipdb).
int cmd_clear(int argc, char **argv, FILE *out);
int cmd_ipdb(int argc, char **argv, FILE *out);
int cmd_no_ipdb(int argc, char **argv, FILE *out);
int cmd_ipdb6(int argc, char **argv, FILE *out);
int cmd_no_ipdb6(int argc, char **argv, FILE *out);
int cmd_lgrp(int argc, char **argv, FILE *out);
int cmd_no_lgrp(int argc, char **argv, FILE *out);
int cmd_locate(int argc, char **argv, FILE *out);

// Diagnostics (diag).
int cmd_benchmark(int argc, char **argv, FILE *out);
int cmd_v3benchmark(int argc, char **argv, FILE *out);
int cmd_dump(int argc, char **argv, FILE *out);
int cmd_no_dump(int argc, char **argv, FILE *out);
int cmd_inject(int argc, char **argv, FILE *out);
int cmd_snapshot(int argc, char **argv, FILE *out);
int cmd_snapshot_full(int argc, char **argv, FILE *out);
