// The configuration check (`check`).
//
// It never refuses anything: every finding is put in the error buffer and
// reported, so that a start-up load ending with findings is logged as
// loaded with errors. Besides the findings it recomputes the values the
// show listings and the packet path read: each target's networks and
// referencing server, each server's IPv4 network, the proxy-in-use flag and
// the session-group member lists.
#include "config/check.h"

#include <cstdarg>
#include <cstring>

#include "balance/gslb.h"
#include "command/command_table.h"
#include "command/interpreter.h"
#include "config/addr.h"
#include "config/config_state.h"
#include "ipdb/lgrp.h"
#include "packet/arp.h"

static void warn(FILE *out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
static void warn(FILE *out, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(errbuf, sizeof errbuf, fmt, ap);
    va_end(ap);
    report_error(out);
}

// The network of an IPv4 address, as the packet path finds it.
static int network_of4(const uint8_t ip4[4])
{
    uint8_t a16[16];
    ipv4_mapped(a16, ip4);
    return arp_find_network(a16);
}

// A target listed by a server: the first server to list it becomes its
// referencing server, a second, different one makes it "several".
static void reference_target(int target, int server)
{
    TARGET &t = cfg.targets[target];
    if (t.server == 0 || t.server == server)
        t.server = server;
    else
        t.server = SERVERREF_SEVERAL;
}

static void check_server(FILE *out, int n)
{
    SERVER &s = cfg.servers[n];
    if (s.proxy)
        cfg.proxy_in_use = 1;

    if (s.gslb == GSLB_ENABLE) {
        if (s.name[0] != '\0')
            gslb_register_name(n);
        else
            warn(out, "WARNING: server %d has no name with gslb enabled (FQDN required)\n", n);
    } else {
        static const uint8_t any[4] = {255, 255, 255, 255};
        bool set = !ipv4_is_zero(s.ipaddr);
        s.network = set ? network_of4(s.ipaddr) : 0;
        if (set && memcmp(s.ipaddr, any, 4) != 0 && s.network == 0)
            warn(out, "WARNING: server %d has no matching network\n", n);
        if (s.port2 != 0 && s.portrel)
            warn(out, "WARNING: server %d not functional with 2 ports and portrel\n", n);
    }

    if (s.ipdb) {
        if (s.plugin[0] != '\0')
            warn(out, "WARNING: server %d IPDB not functional because of server plugin\n", n);
        if (s.method == METHOD_RR)
            warn(out, "WARNING: server %d IPDB not functional with method ROUND-ROBIN\n", n);
        if (s.method == METHOD_HASH)
            warn(out, "WARNING: server %d IPDB not functional with method HASH\n", n);
    }

    // While a file loads, the targets a server names are usually defined
    // further down the same file: an unregistered one is no finding yet.
    for (int i = 0; i < s.ntargets && i < MAXSRVTARGETS; i++) {
        int tn = s.targets[i];
        if (!valid_target(tn))
            continue;
        const TARGET &t = cfg.targets[tn];
        if (!interp.loading && !t.registered)
            warn(out, "WARNING: server %d references unregistered target %d\n", n, tn);
        reference_target(tn, n);
        if (s.gslb == GSLB_ENABLE)
            continue;
        if (s.port2 != 0 && t.port != 0)
            warn(out, "WARNING: server %d not functional with 2 ports and port specific target %d\n", n, tn);
        if (t.port != 0 && t.port != s.port && t.dsr)
            warn(out, "WARNING: port translation from server %d to target %d not working with DSR enabled\n",
                 n, tn);
    }
    for (int i = 0; i < s.nbackups && i < MAXSRVTARGETS; i++) {
        int tn = s.backups[i];
        if (!valid_target(tn))
            continue;
        if (!interp.loading && !cfg.targets[tn].registered)
            warn(out, "WARNING: server %d references unregistered backup %d\n", n, tn);
        reference_target(tn, n);
    }
}

static bool has_health_check(const TARGET &t)
{
    if (t.ping.interval >= 1 || t.ping6.interval >= 1 || t.agent.interval >= 1 || t.agent6.interval >= 1 ||
        t.tcpopen.interval >= 1 || t.tcpopen6.interval >= 1)
        return true;
    for (const SCRIPTCHECK *sc : {&t.script, &t.script6, &t.ascript})
        if (sc->cmd[0] != '\0' && sc->interval > 0)
            return true;
    return false;
}

static void check_target(FILE *out, int n)
{
    const TARGET &t = cfg.targets[n];
    if (t.server == 0 && !t.pseudo)
        warn(out, "WARNING: target %d in enabled state but not referenced\n", n);
    if (!ipv4_is_zero(t.ipaddr)) {
        if (t.network == 0)
            warn(out, "WARNING: target %d has no matching network\n", n);
        else if (ipv4_is_zero(cfg.networks[t.network].real))
            warn(out, "WARNING: network %d needs a \"real\" address to reach target %d\n", t.network, n);
    }
    if (!has_health_check(t))
        warn(out, "WARNING: target %d has no associated health check\n", n);
}

int config_check(FILE *out)
{
    for (int n = 1; n <= MAXTARGET; n++) {
        TARGET &t = cfg.targets[n];
        t.server = 0;
        // A target behind a router belongs to the router's network.
        t.network = 0;
        if (!ipv4_is_zero(t.ipaddr))
            t.network = network_of4(ipv4_is_zero(t.router) ? t.ipaddr : t.router);
        t.network6 = 0;
        if (!ipv6_is_zero(t.ipaddr6))
            t.network6 = arp_find_network(t.ipaddr6);
    }

    cfg.proxy_in_use = 0;
    for (int n = 1; n <= MAXSERVER; n++)
        if (cfg.servers[n].enabled)
            check_server(out, n);

    for (SESSIONGROUP &g : cfg.sessiongroups)
        g.count = 0;
    for (int n = 1; n <= MAXTARGET; n++) {
        const TARGET &t = cfg.targets[n];
        if (!t.registered || (uint32_t)t.sessiongroup > MAXSESSIONGROUP)
            continue;
        SESSIONGROUP &g = cfg.sessiongroups[t.sessiongroup];
        g.members[g.count++] = n;
    }

    for (int n = 1; n <= MAXTARGET; n++)
        if (cfg.targets[n].enabled)
            check_target(out, n);

    int unresolved = lgrp_resolve();
    if (unresolved < 0)
        warn(out, "WARNING: lgrp parsing problem\n");
    else if (unresolved > 0)
        warn(out, "WARNING: %d lgrp's not solvable\n", unresolved);
    return 1;
}

int cmd_check(int, char **, FILE *out)
{
    return config_check(out);
}
