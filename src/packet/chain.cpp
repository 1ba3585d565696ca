// The module table, the module chain with its dispatch, the `modules`
// command and "show modules", and the writer of the chain line.
#include "packet/chain.h"

#include <cstring>

#include "command/command_table.h"
#include "command/interpreter.h"
#include "config/config_writer.h"
#include "config/show.h"

// One row per module, in the order "show modules" lists them. The lock
// of every row is initialised statically, so it is ready before any
// thread runs.
MODULE module_table[MODULE_COUNT + 1] = {
    {.name = "arp", .handler = mod_arp, .description = "ARP request/reply processing", .serial = 0,
     .lock = PTHREAD_MUTEX_INITIALIZER, .spare = {}},
    {.name = "benchmark", .handler = mod_benchmark, .description = "HW loopback benchmark", .serial = 0,
     .lock = PTHREAD_MUTEX_INITIALIZER, .spare = {}},
    {.name = "classic", .handler = mod_classic, .description = "classic KVNV2 load balancing", .serial = 1,
     .lock = PTHREAD_MUTEX_INITIALIZER, .spare = {}},
    {.name = "crossover", .handler = mod_crossover, .description = "virtual crossover cable", .serial = 0,
     .lock = PTHREAD_MUTEX_INITIALIZER, .spare = {}},
    {.name = "hc", .handler = mod_hc, .description = "health-check processing", .serial = 0,
     .lock = PTHREAD_MUTEX_INITIALIZER, .spare = {}},
    {.name = "ipallow", .handler = mod_ipallow, .description = "simple IP address allow filter", .serial = 0,
     .lock = PTHREAD_MUTEX_INITIALIZER, .spare = {}},
    {.name = "ipdeny", .handler = mod_ipdeny, .description = "simple IP address denial filter", .serial = 0,
     .lock = PTHREAD_MUTEX_INITIALIZER, .spare = {}},
    {.name = "llb", .handler = mod_llb, .description = "link load-balancing", .serial = 0,
     .lock = PTHREAD_MUTEX_INITIALIZER, .spare = {}},
    {.name = "macallow", .handler = mod_macallow, .description = "simple MAC address allow filter", .serial = 0,
     .lock = PTHREAD_MUTEX_INITIALIZER, .spare = {}},
    {.name = "macdeny", .handler = mod_macdeny, .description = "simple MAC address denial filter", .serial = 0,
     .lock = PTHREAD_MUTEX_INITIALIZER, .spare = {}},
    {.name = "master", .handler = mod_master, .description = "proceed only if current master", .serial = 0,
     .lock = PTHREAD_MUTEX_INITIALIZER, .spare = {}},
    {.name = "nat", .handler = mod_nat, .description = "NAT processing", .serial = 0,
     .lock = PTHREAD_MUTEX_INITIALIZER, .spare = {}},
    {.name = "out", .handler = mod_out, .description = "packet output processing (EXPERIMENTAL)", .serial = 0,
     .lock = PTHREAD_MUTEX_INITIALIZER, .spare = {}},
    {.name = "ping", .handler = mod_ping, .description = "ICMP echo request processing", .serial = 0,
     .lock = PTHREAD_MUTEX_INITIALIZER, .spare = {}},
    {.name = "rt", .handler = mod_rt, .description = "IPv4 and IPv6 routing module", .serial = 0,
     .lock = PTHREAD_MUTEX_INITIALIZER, .spare = {}},
    {.name = "slb", .handler = mod_slb, .description = "server load balancing", .serial = 0,
     .lock = PTHREAD_MUTEX_INITIALIZER, .spare = {}},
    {.name = "switch", .handler = mod_switch, .description = "simple Ethernet switching", .serial = 0,
     .lock = PTHREAD_MUTEX_INITIALIZER, .spare = {}},
    {.name = "strict", .handler = mod_strict, .description = "strict IP packet acceptance filter (EXPERIMENTAL)",
     .serial = 0, .lock = PTHREAD_MUTEX_INITIALIZER, .spare = {}},
    {.name = "tnat", .handler = mod_tnat, .description = "target NAT module", .serial = 0,
     .lock = PTHREAD_MUTEX_INITIALIZER, .spare = {}},
    {.name = "vrrp", .handler = mod_vrrp, .description = "initial VRRP handling", .serial = 0,
     .lock = PTHREAD_MUTEX_INITIALIZER, .spare = {}},
    {.name = "ip4debug", .handler = mod_ip4debug, .description = "IPv4 debugging module (EXPERIMENTAL)", .serial = 0,
     .lock = PTHREAD_MUTEX_INITIALIZER, .spare = {}},
    {.name = "sctpdebug", .handler = mod_sctpdebug, .description = "SCTP debugging module (EXPERIMENTAL)",
     .serial = 0, .lock = PTHREAD_MUTEX_INITIALIZER, .spare = {}},
    {.name = nullptr, .handler = nullptr, .description = nullptr, .serial = 0, .lock = PTHREAD_MUTEX_INITIALIZER,
     .spare = {}},
};

CHAIN chain = {};

int module_find(const char *name)
{
    for (int k = 0; module_table[k].name != nullptr; k++)
        if (strcmp(module_table[k].name, name) == 0)
            return k;
    return -1;
}

int chain_dispatch(int slot, int len, uint8_t *frame, FRAMEINFO *fi)
{
    // The count is read once: a `modules` command running meanwhile only
    // ever shrinks it to 0 and then appends, so positions below a count
    // read here stay valid handlers.
    int n = chain.count;
    for (int p = 0; p < n && p < MAXCHAIN; p++) {
        MODHANDLER h = chain.handler[p];
        if (h == nullptr)
            continue;
        int r;
        if (chain.serial[p]) {
            pthread_mutex_t *lock = &module_table[chain.index[p]].lock;
            pthread_mutex_lock(lock);
            r = h(slot, len, frame, fi);
            pthread_mutex_unlock(lock);
        } else {
            r = h(slot, len, frame, fi);
        }
        if (r == 1)
            return 1;
    }
    return 0;
}

int chain_dispatch_unlocked(int slot, int len, uint8_t *frame, FRAMEINFO *fi)
{
    int n = chain.count;
    for (int p = 0; p < n && p < MAXCHAIN; p++) {
        MODHANDLER h = chain.handler[p];
        if (h != nullptr && h(slot, len, frame, fi) == 1)
            return 1;
    }
    return 0;
}

void chain_clear()
{
    chain.count = 0;
    for (int p = 0; p < MAXCHAIN; p++) {
        chain.handler[p] = nullptr;
        chain.name[p] = nullptr;
        chain.serial[p] = 0;
        chain.index[p] = 0;
    }
}

int chain_set(const char *list)
{
    // The dry run of a reload checks the list and leaves the running chain
    // alone.
    bool apply = !reload_dry_run();
    if (apply)
        chain_clear();
    int count = 0;
    const char *p = list;
    while (*p != '\0') {
        const char *end = strchr(p, ',');
        size_t n = end != nullptr ? (size_t)(end - p) : strlen(p);
        if (n > 0) {
            char name[64];
            snprintf(name, sizeof name, "%.*s", (int)(n < sizeof name - 1 ? n : sizeof name - 1), p);
            int k = n < sizeof name ? module_find(name) : -1;
            if (k < 0)
                return cmd_error("unknown module \"%s\"\n", name);
            if (count >= MAXCHAIN)
                return cmd_error("too many modules in chain (max=%d)\n", MAXCHAIN);
            if (apply) {
                chain.handler[count] = module_table[k].handler;
                chain.name[count] = module_table[k].name;
                chain.serial[count] = module_table[k].serial;
                chain.index[count] = k;
                chain.count = count + 1;
            }
            count++;
        }
        if (end == nullptr)
            break;
        p = end + 1;
    }
    return 1;
}

void chain_show(FILE *out)
{
    fputs("  current module chain:\n", out);
    if (chain.count == 0) {
        fputs("    *empty*\n", out);
    } else {
        fprintf(out, "    %s", chain.name[0]);
        for (int p = 1; p < chain.count; p++)
            fprintf(out, ",%s", chain.name[p]);
        fputc('\n', out);
    }
    fputs("  supported module chains:\n", out);
    fputs("    benchmark\n", out);
    fputs("    switch\n", out);
    fputs("    vrrp,classic\n", out);
    fputs("    vrrp,arp,ping,hc,master,slb,tnat,nat,rt\n", out);
    fputs("    vrrp,arp,ping,hc,master,llb\n", out);
    fputs("  available modules:\n", out);
    for (int k = 0; module_table[k].name != nullptr; k++)
        fprintf(out, "    %-10s - %s%s\n", module_table[k].name, module_table[k].description,
                module_table[k].serial == 1 ? " (SERIAL)" : "");
}

int cmd_modules(int, char **argv, FILE *out)
{
    if (strcmp(argv[1], "?") == 0) {
        chain_show(out);
        return 1;
    }
    return chain_set(argv[1]);
}

int cmd_no_modules(int, char **, FILE *)
{
    if (!reload_dry_run())
        chain_clear();
    return 1;
}

int show_modules(int, char **, FILE *out)
{
    chain_show(out);
    return 1;
}

void write_module_chain(FILE *out, const char *fmt)
{
    if (chain.count == 0)
        return;
    cw_word(out, fmt, chain.count == 1 ? "module" : "modules");
    fputs(chain.name[0], out);
    for (int p = 1; p < chain.count; p++)
        fprintf(out, ",%s", chain.name[p]);
    fputc('\n', out);
}
