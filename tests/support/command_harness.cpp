#include "support/command_harness.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "command/command_table.h"
#include "command/interpreter.h"
#include "config/config_files.h"
#include "daemon/daemon.h"
#include "health/scripts.h"
#include "packet/arphash.h"
#include "packet/chain.h"
#include "packet/filter_lists.h"
#include "packet/machash.h"
#include "packet/test_wire.h"
#include "support/support.h"

namespace {

// A command the harness keeps from running: the whole command, or only
// when its second word names `kind` (any abbreviation of it).
struct DENYROW {
    const char *command;  // full command word as registered
    const char *kind;     // nullptr: every call; else the kind word refused
};

const DENYROW deny_rows[] = {
    // They end the process.
    {.command = "stop", .kind = nullptr},
    {.command = "shutdown", .kind = nullptr},
    {.command = "coredump", .kind = nullptr},
    // They read or write a file at any path the line names: a write lands
    // outside KVN_ROOT, a read of a FIFO or a device blocks.
    {.command = "dump", .kind = nullptr},
    {.command = "inject", .kind = nullptr},
    {.command = "snapshot", .kind = nullptr},
    {.command = "snapshot-light", .kind = nullptr},
    {.command = "snapshot-full", .kind = nullptr},
    {.command = "sessiondump", .kind = nullptr},
    {.command = "sessionload", .kind = nullptr},
    {.command = "ipdb", .kind = nullptr},
    {.command = "ipdb6", .kind = nullptr},
    // They run for as long as their arguments say.
    {.command = "benchmark", .kind = nullptr},
    {.command = "v3benchmark", .kind = nullptr},
    {.command = "rndtest", .kind = nullptr},
    {.command = "stfill", .kind = nullptr},
    // Enabling an interface opens a device of the host (raw socket or TAP)
    // and starts its link-detection thread, which never ends; the harness
    // interface is on the test wire instead.
    {.command = "enable", .kind = "interfaces"},
    {.command = "commit", .kind = "interfaces"},
};

// One command-table entry the harness replaced, with what it replaced.
struct GUARD {
    CMDENTRY *entry;     // the entry in cmdhash
    CMDHANDLER handler;  // its own handler (null stays null)
    CMDHANDLER revert;   // its own `no` form (null stays null)
    const DENYROW *row;  // the rule applied to it
};

constexpr int MAXGUARDS = 64;
GUARD guards[MAXGUARDS];
int guard_count = 0;
int refused = 0;
FILE *sink = nullptr;  // output of every harness command

// The small configuration every run starts from, as command lines.
const char *const SETUP_LINES[] = {
    "network 1 {",
    "addr 192.0.2.0",
    "mask 255.255.255.0",
    "real 192.0.2.10",
    "interface 1",
    "}",
    "commit network 1",
    "server 1 {",
    "ipaddr 192.0.2.20",
    "port 80",
    "protocol tcp",
    "targets 1",
    "}",
    "target 1 {",
    "ipaddr 192.0.2.101",
    "port 80",
    "protocol tcp",
    "}",
    "commit target 1",
    "commit server 1",
};

GUARD *guard_of(int argc, char **argv)
{
    // The interpreter found the entry with the same lookup.
    CMDENTRY *e = cmdh_lookup(cmdhash, argv[0], argc);
    for (int g = 0; g < guard_count; g++)
        if (guards[g].entry == e)
            return &guards[g];
    abort();  // a guarded handler runs only through a guarded entry
}

bool refuses(const GUARD &g, int argc, char **argv)
{
    if (g.row->kind == nullptr)
        return true;
    return argc > 1 && argv[1][0] != '\0' && keyword_match(argv[1], g.row->kind);
}

int refuse(char **argv)
{
    refused++;
    return cmd_error("%s refused by the fuzz harness\n", argv[0]);
}

int guarded_handler(int argc, char **argv, FILE *out)
{
    GUARD *g = guard_of(argc, argv);
    return refuses(*g, argc, argv) ? refuse(argv) : g->handler(argc, argv, out);
}

int guarded_revert(int argc, char **argv, FILE *out)
{
    GUARD *g = guard_of(argc, argv);
    return refuses(*g, argc, argv) ? refuse(argv) : g->revert(argc, argv, out);
}

void install_guards()
{
    for (const DENYROW &row : deny_rows) {
        int found = 0;
        for (CMDENTRY *e = cmdhash->bucket[cmdh_bucket(row.command)]; e != nullptr; e = e->next) {
            if (strcmp(e->name, row.command) != 0)
                continue;
            if (guard_count == MAXGUARDS)
                abort();
            guards[guard_count++] = {.entry = e, .handler = e->handler, .revert = e->revert, .row = &row};
            if (e->handler != nullptr)
                e->handler = guarded_handler;
            if (e->revert != nullptr)
                e->revert = guarded_revert;
            found++;
        }
        if (found == 0) {
            // A renamed command would otherwise slip past its rule.
            fprintf(stderr, "fuzz harness: no command \"%s\" to deny\n", row.command);
            abort();
        }
    }
}

void remove_run_files()
{
    for (const char *pattern : {CONF_GLOBAL, CONF_PRIVATE, CONF_MAIN}) {
        char path[PATH_MAX];
        kvn_path(path, sizeof path, pattern);
        unlink(path);
    }
}

// The daemon state of a fresh run: empty tables, the default chain,
// interface 1 on the test wire, no files; with `objects` also the network,
// server and target of the small configuration.
void reset_state(bool objects)
{
    tw_detach_all();  // before the tables reset forgets the descriptors
    kvn_test_reset();
    chain_clear();
    ah_clear(arp_table);
    mh_clear(mac_table);
    for (int l = 0; l < FL_COUNT; l++)
        fl_clear(l);
    remove_run_files();
    const uint8_t mac[6] = {0x02, 0x00, 0x00, 0x00, 0x01, 0x01};
    if (!tw_attach(1, "eth1", mac))
        abort();
    refused = 0;
    if (!objects)
        return;
    for (const char *line : SETUP_LINES) {
        if (process_command_line(line, sink) != 1) {
            fprintf(stderr, "fuzz harness: set-up line \"%s\" failed: %s\n", line, errbuf);
            abort();
        }
    }
}

} // namespace

void command_harness_init()
{
    kvn_test_reset();
    if (sink == nullptr) {
        sink = fopen("/dev/null", "w");
        if (sink == nullptr)
            abort();
    }
    if (guard_count == 0)
        install_guards();
    // A plugin line in the input names any shell command.
    external_commands = 0;
    command_harness_reset();
}

void command_harness_start()
{
    static bool started = false;
    if (started)
        return;
    started = true;
    static TempRoot root;  // its destructor removes it at exit
    command_harness_init();
}

void command_harness_release()
{
    for (int g = 0; g < guard_count; g++) {
        guards[g].entry->handler = guards[g].handler;
        guards[g].entry->revert = guards[g].revert;
    }
    guard_count = 0;
    external_commands = 1;
    tw_detach_all();
    remove_run_files();
}

void command_harness_reset() { reset_state(true); }

void command_harness_run(const uint8_t *data, size_t size)
{
    // The input arrives as a control pipe delivers it, in reads of at most
    // 9999 bytes, so a line can be cut anywhere and must still run whole.
    static CMDSESSION session;
    reset_state(true);
    session_reset(&session);
    for (size_t at = 0; at < size; at += 9999) {
        size_t piece = size - at < 9999 ? size - at : 9999;
        process_command_buffer(&session, (const char *)data + at, (int)piece, sink);
    }
    session_reset(&session);
}

void config_harness_run(const uint8_t *data, size_t size)
{
    reset_state(false);
    char path[PATH_MAX];
    kvn_path(path, sizeof path, CONF_MAIN);
    FILE *f = fopen(path, "wb");
    if (f == nullptr)
        abort();
    if (size > 0 && fwrite(data, 1, size, f) != size)
        abort();
    fclose(f);
    load_config();
    process_command_line("reload", sink);
    process_command_line("show conf", sink);
}

int command_harness_refused() { return refused; }
