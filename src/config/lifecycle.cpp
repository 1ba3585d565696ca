// The object lifecycle commands and the registry keys of servers and
// targets.
//
// Each command takes a kind word and a comma list of object numbers and
// handles the items left to right; the first item that fails ends the
// command, the items before it keep their effect. Enabling a server or a
// target reports a refused item and goes on with the next one, because a
// configuration file enables them in long lists and one occupied address
// must not leave the rest of the service down.
//
// The commands call the owners of what they reach directly: the ARP table
// and its announcements (packet/arp.h), VRRP (ha/vrrp.h), probes, init
// commands and plugins (health/), the traffic dump (diag/).
//
// The commands change cfg_edit(): during the dry run of a reload that is a
// scratch copy, on which they decide exactly as they will in pass 2, while
// everything that leaves the tables (announcements, address entries,
// devices, plugins, probe threads, the check, VRRP start-up) is left out.
#include "config/lifecycle.h"

#include <cstring>

#include "command/command_table.h"
#include "command/interpreter.h"
#include "command/log.h"
#include "command/process.h"
#include "balance/bandwidth.h"
#include "balance/slb.h"
#include "config/addr.h"
#include "config/check.h"
#include "config/config_state.h"
#include "config/index_registry.h"
#include "config/local_address.h"
#include "config/networks.h"
#include "config/parameters.h"
#include "config/threads.h"
#include "diag/dump.h"
#include "ha/vrrp.h"
#include "health/health.h"
#include "health/scripts.h"
#include "packet/arp.h"
#include "packet/arp_frames.h"
#include "packet/interface_io.h"

// ---------------------------------------------------------------------------
// Address helpers

static const uint8_t BROADCAST4[4] = {255, 255, 255, 255};

int
server_keys(const SERVER &s, OBJKEY keys[4])
{
    if (s.gslb == GSLB_ENABLE)
        return 0;
    int n = 0;
    auto add = [&](const uint8_t a16[16], uint16_t port) {
        memcpy(keys[n].addr, a16, 16);
        keys[n].port = port;
        n++;
    };
    bool second = s.port2 != 0 && s.port2 != s.port;
    if (!ipv4_is_zero(s.ipaddr)) {
        uint8_t a16[16];
        ipv4_mapped(a16, s.ipaddr);
        add(a16, s.port);
        if (second)
            add(a16, s.port2);
    }
    if (!ipv6_is_zero(s.ipaddr6)) {
        add(s.ipaddr6, s.port);
        if (second)
            add(s.ipaddr6, s.port2);
    }
    return n;
}

int
target_keys(const TARGET &t, OBJKEY keys[2])
{
    int n = 0;
    if (!ipv4_is_zero(t.ipaddr)) {
        ipv4_mapped(keys[n].addr, t.ipaddr);
        keys[n].port = t.port;
        n++;
    }
    if (!ipv6_is_zero(t.ipaddr6)) {
        memcpy(keys[n].addr, t.ipaddr6, 16);
        keys[n].port = t.port;
        n++;
    }
    return n;
}

// ---------------------------------------------------------------------------
// Kinds and lists

enum KIND { KIND_SERVER, KIND_TARGET, KIND_NETWORK, KIND_INTERFACE, KIND_NONE };

static const struct {
    const char *singular;
    const char *plural;
    KIND kind;
    int max;
    const char *range_error;
} kinds[] = {
    {"server", "servers", KIND_SERVER, MAXSERVER, "server index out of range\n"},
    {"target", "targets", KIND_TARGET, MAXTARGET, "target index out of range\n"},
    {"network", "networks", KIND_NETWORK, MAXNETWORK, "network index out of range\n"},
    {"interface", "interfaces", KIND_INTERFACE, MAXINTERFACE, "interface index out of range\n"},
};

static int
kind_of(const char *word)
{
    for (int k = 0; k < 4; k++)
        if (keyword_match(word, kinds[k].singular) || keyword_match(word, kinds[k].plural))
            return k;
    return -1;
}

using ITEMFN = int (*)(int n, FILE *out);

// Runs fn on every item of the list. Empty items are skipped; an item that
// is not all digits or out of the kind's range ends the list, and so does
// an item fn refuses (fn returns 0).
static int
for_each_item(int k, const char *list, ITEMFN fn, FILE *out)
{
    const char *p = list;
    while (*p != '\0') {
        const char *end = strchr(p, ',');
        size_t len = end != nullptr ? (size_t)(end - p) : strlen(p);
        if (len > 0) {
            long value = 0;
            for (size_t i = 0; i < len; i++) {
                if (p[i] < '0' || p[i] > '9')
                    return cmd_error("invalid syntax\n");
                // Saturate: any long number is out of range, never wrapped into it.
                if (value <= 100000)
                    value = value * 10 + (p[i] - '0');
            }
            if (value < 1 || value > kinds[k].max)
                return cmd_error("%s", kinds[k].range_error);
            if (!fn((int)value, out))
                return 0;
        }
        if (end == nullptr)
            break;
        p = end + 1;
    }
    return 1;
}

static int
unknown_kind(const char *word)
{
    return cmd_error("unknown subcommand %s (\"interface\",\"network\",\"server\" or \"target\" expected)\n",
                     word);
}

// ---------------------------------------------------------------------------
// register

static int
register_server(int n, FILE *)
{
    SERVER &s = cfg_edit().servers[n];
    INDEXREGISTRY *registry = registry_edit(server_registry);
    if (s.registered)
        return cmd_error("server %d already registered\n", n);
    OBJKEY keys[4];
    int count = server_keys(s, keys);
    for (int i = 0; i < count; i++) {
        int32_t holder = ir_lookup(registry, keys[i].addr, keys[i].port);
        if (holder != 0)
            return cmd_error("rejected, server %d already registered with same parameters\n", holder);
    }
    s.registered = 1;
    for (int i = 0; i < count; i++) {
        ir_insert(registry, keys[i].addr, keys[i].port, n);
        registry->count++;
    }
    return 1;
}

static int
register_target(int n, FILE *)
{
    TARGET &t = cfg_edit().targets[n];
    INDEXREGISTRY *registry = registry_edit(target_registry);
    if (t.registered)
        return cmd_error("target %d already registered\n", n);
    OBJKEY keys[2];
    int count = target_keys(t, keys);
    if (count == 0)
        return 1;  // nothing to claim: the target stays unregistered
    for (int i = 0; i < count; i++) {
        int32_t holder = ir_lookup(registry, keys[i].addr, keys[i].port);
        if (holder != 0)
            return cmd_error("rejected, target %d already registered with same parameters\n", holder);
    }
    t.registered = 1;
    for (int i = 0; i < count; i++) {
        ir_insert(registry, keys[i].addr, keys[i].port, n);
        registry->count++;
    }
    return 1;
}

static int
register_network(int n, FILE *)
{
    CONFIG &c = cfg_edit();
    NETWORK &net = c.networks[n];
    if (net.registered) {
        if (interp.reload_pass != 0)
            return 1;
        return cmd_error("network %d already registered\n", n);
    }
    net.registered = 1;
    c.registered_networks++;
    return 1;
}

static int
register_interface(int n, FILE *)
{
    CONFIG &c = cfg_edit();
    INTERFACE &i = c.interfaces[n];
    if (i.registered) {
        if (interp.reload_pass != 0)
            return 1;
        return cmd_error("interface %d already registered\n", n);
    }
    i.registered = 1;
    c.registered_interfaces++;
    return 1;
}

static const ITEMFN register_fns[] = {register_server, register_target, register_network,
                                      register_interface};

int
cmd_register(int, char **argv, FILE *out)
{
    int k = kind_of(argv[1]);
    if (k < 0)
        return unknown_kind(argv[2]);
    return for_each_item(k, argv[2], register_fns[k], out);
}

// ---------------------------------------------------------------------------
// unregister

static int
unregister_server(int n, FILE *)
{
    SERVER &s = cfg_edit().servers[n];
    INDEXREGISTRY *registry = registry_edit(server_registry);
    if (s.enabled)
        return cmd_error("cannot unregister enabled server %d (disable first)\n", n);
    if (!s.registered)
        return cmd_error("server %d not registered\n", n);
    s.registered = 0;
    OBJKEY keys[4];
    int count = server_keys(s, keys);
    for (int i = 0; i < count; i++)
        registry->count -= ir_delete(registry, keys[i].addr, keys[i].port);
    return 1;
}

static int
unregister_target(int n, FILE *)
{
    TARGET &t = cfg_edit().targets[n];
    INDEXREGISTRY *registry = registry_edit(target_registry);
    if (t.enabled)
        return cmd_error("cannot unregister enabled target %d (disable first)\n", n);
    if (!t.registered)
        return cmd_error("target %d not registered\n", n);
    OBJKEY keys[2];
    int count = target_keys(t, keys);
    for (int i = 0; i < count; i++)
        registry->count -= ir_delete(registry, keys[i].addr, keys[i].port);
    t.registered = 0;
    return 1;
}

static int
unregister_network(int n, FILE *)
{
    CONFIG &c = cfg_edit();
    NETWORK &net = c.networks[n];
    if (net.enabled)
        return cmd_error("cannot unregister enabled network %d (disable first)\n", n);
    if (!net.registered)
        return cmd_error("network %d not registered\n", n);
    net.registered = 0;
    c.registered_networks--;
    return 1;
}

static int
unregister_interface(int n, FILE *)
{
    CONFIG &c = cfg_edit();
    INTERFACE &i = c.interfaces[n];
    if (i.enabled)
        return cmd_error("cannot unregister enabled interface %d\n", n);
    if (!i.registered)
        return cmd_error("interface %d not registered\n", n);
    i.registered = 0;
    c.registered_interfaces--;
    return 1;
}

static const ITEMFN unregister_fns[] = {unregister_server, unregister_target, unregister_network,
                                        unregister_interface};

int
cmd_unregister(int, char **argv, FILE *out)
{
    int k = kind_of(argv[1]);
    if (k < 0)
        return unknown_kind(argv[2]);
    return for_each_item(k, argv[2], unregister_fns[k], out);
}

// ---------------------------------------------------------------------------
// enable

static int
enable_interface(int n, FILE *)
{
    CONFIG &c = cfg_edit();
    INTERFACE &i = c.interfaces[n];
    if (!i.registered)
        return cmd_error("interface %d not registered\n", n);
    if (interp.reload_pass == 0) {
        if (i.enabled)
            return cmd_error("interface %d already enabled\n", n);
    } else {
        if (!i.enabled)
            return cmd_error("unable to enable interface %d on reload\n", n);
        // Its device is open and its thread runs: opening it again would
        // leak the open descriptor, and counting it again would skew the
        // enabled count.
        return 1;
    }
    if (interface_open(n) <= 0)
        return cmd_error("cannot access HW interface %s (already active ?)\n", i.name);
    if (!i.io_started) {
        i.io_started = 1;
        run_thread_and_detach(link_detection_thread, reinterpret_cast<void *>((intptr_t)n));
    }
    if (i.init[0] != '\0')
        run_init_command(n);
    // Readers and senders look at the flag from their own threads.
    interface_set_enabled(i, 1);
    c.enabled_interfaces++;
    return 1;
}

static bool
same4(const uint8_t a[4], const uint8_t b[4])
{
    return memcmp(a, b, 4) == 0;
}

static void
and4(uint8_t out[4], const uint8_t a[4], const uint8_t mask[4])
{
    for (int k = 0; k < 4; k++)
        out[k] = a[k] & mask[k];
}

// The address checks of a network that is not enabled yet. The nat outside
// holder is only claimed once every check passed (below), so a refused
// network never keeps the holder.
static int
validate_network4(int n)
{
    const CONFIG &c = cfg_edit();
    const NETWORK &net = c.networks[n];
    bool addr_set = !ipv4_is_zero(net.addr);
    bool real_set = !ipv4_is_zero(net.real);
    bool virt_set = !ipv4_is_zero(net.virt);
    if (addr_set) {
        uint8_t netpart[4], x[4];
        and4(netpart, net.addr, net.mask);
        if (!same4(netpart, net.addr))
            return cmd_error("addr of network %d not a network address\n", n);
        if (real_set) {
            and4(x, net.real, net.mask);
            if (!same4(x, netpart))
                return cmd_error("real of network %d not in network\n", n);
        }
        if (!virt_set && net.nat == NAT_OUTSIDE)
            return cmd_error("network virt address required for nat outside network\n");
        if (virt_set) {
            and4(x, net.virt, net.mask);
            if (!same4(x, netpart))
                return cmd_error("virt of network %d not in network\n", n);
            if (same4(net.virt, net.addr))
                return cmd_error("virt in network %d equal to addr (must be different)\n", n);
            if (same4(net.real, net.addr))
                return cmd_error("real in network %d equal to addr (must be different)\n", n);
            if (net.nat == NAT_OUTSIDE && c.natoutside.network != 0 && c.natoutside.network != n)
                return cmd_error("another nat outside network already active (%d)\n", c.natoutside.network);
        }
    }
    if (real_set && virt_set && same4(net.real, net.virt))
        return cmd_error("real in network %d equal to virt (must be different)\n", n);
    if (real_set && local_address_test(net.real))
        return cmd_error("unable to enable network %d: real address locally occupied by OS\n", n);
    if (virt_set && param_value(P_LOCALVIRT) == 0 && local_address_test(net.virt))
        return cmd_error("unable to enable network %d: virt address locally occupied by OS\n", n);
    return 1;
}

static int
validate_network6(int n)
{
    const CONFIG &c = cfg_edit();
    const NETWORK &net = c.networks[n];
    if (net.mask6 == 0)
        return 1;
    if (!vrrp_identity_set())
        return cmd_error("unable to enable IPv6 for network %d (VRRP required)\n", n);
    if (ipv6_is_zero(net.real6))
        return cmd_error("no real6 address specified for network %d\n", n);
    if (!ipv6_is_zero(net.virt6)) {
        if (memcmp(net.real6, net.virt6, 16) == 0)
            return cmd_error("real6 and virt6 need to be different (network %d)\n", n);
        if (!bitwise_memcmp(net.real6, net.virt6, net.mask6))
            return cmd_error("real6 and virt6 differ in network part (network %d)\n", n);
        if (net.nat == NAT_OUTSIDE && c.natoutside.network != 0 && c.natoutside.network != n)
            return cmd_error("another nat outside network already active (%d)\n", c.natoutside.network);
    }
    return 1;
}

static void
announce_network(int n)
{
    NETWORK &net = cfg.networks[n];
    if (!ipv6_is_zero(net.real6)) {
        arp_make_entry(net.real6, dmn.own_hwaddr, 1, 1, 0, n, 0, nullptr);
        arp_send_neighbour_advert(net.real6, dmn.own_hwaddr, n);
        arp_enter_own_mac(dmn.own_hwaddr);
        // A host our solicitations reach takes the MAC they come from as
        // real6's and sends to it from then on.
        uint8_t smac[6];
        nd_solicitation_mac(smac);
        arp_enter_own_mac(smac);
    }
    if (!ipv6_is_zero(net.virt6)) {
        arp_make_entry(net.virt6, cfg.vrrp.vmac, 1, 0, 0, n, 0, nullptr);
        if (vrrp_is_master())
            arp_send_neighbour_advert(net.virt6, cfg.vrrp.vmac, n);
        arp_enter_own_mac(cfg.vrrp.vmac);
    }
    uint8_t a16[16];
    if (!ipv4_is_zero(net.real)) {
        own_mac_of(net.realmac, net.real);
        arp_enter_own_mac(net.realmac);
        ipv4_mapped(a16, net.real);
        arp_make_entry(a16, net.realmac, 1, 1, 0, n, 0, nullptr);
        arp_send_gratuitous(net.real, net.realmac, n);
    }
    if (!ipv4_is_zero(net.virt)) {
        ipv4_mapped(a16, net.virt);
        if (!vrrp_settings_complete()) {
            own_mac_of(net.virtmac, net.virt);
            arp_enter_own_mac(net.virtmac);
            arp_make_entry(a16, net.virtmac, 1, 0, 0, n, 0, nullptr);
            arp_send_gratuitous(net.virt, net.virtmac, n);
        } else {
            memcpy(net.virtmac, cfg.vrrp.vmac, 6);
            arp_enter_own_mac(net.virtmac);
            arp_make_entry(a16, net.virtmac, 1, 0, 0, n, 0, nullptr);
            if (vrrp_is_master())
                arp_send_gratuitous(net.virt, net.virtmac, n);
        }
    }
}

static int
enable_network(int n, FILE *)
{
    CONFIG &c = cfg_edit();
    NETWORK &net = c.networks[n];
    if (interp.reload_pass != 0 && !net.enabled)
        return cmd_error("unable to enable network %d on reload\n", n);
    if (!net.registered)
        return cmd_error("network %d not registered\n", n);
    bool was_enabled = net.enabled != 0;
    if (!was_enabled && !validate_network4(n))
        return 0;
    if (!validate_network6(n))
        return 0;
    if (net.nat == NAT_OUTSIDE) {
        if (!was_enabled && !ipv4_is_zero(net.addr) && !ipv4_is_zero(net.virt)) {
            c.natoutside.network = n;
            memcpy(c.natoutside.virt, net.virt, 4);
        }
        if (net.mask6 != 0 && !ipv6_is_zero(net.virt6)) {
            c.natoutside.network = n;
            memcpy(c.natoutside.virt6, net.virt6, 16);
        }
    }
    if (!was_enabled) {
        net.enabled = 1;
        c.enabled_networks++;
    }
    if (!reload_dry_run())
        announce_network(n);
    return 1;
}

static int
enable_server(int n, FILE *)
{
    SERVER &s = cfg_edit().servers[n];
    if (!s.registered) {
        cmd_error("server %d not registered\n", n);
        return 1;
    }
    bool gslb = s.gslb == GSLB_ENABLE;
    if (param_value(P_LOCALDSR) == 0 && !gslb && !ipv4_is_zero(s.ipaddr) && local_address_test(s.ipaddr)) {
        cmd_error("unable to enable server %d: ipaddr locally occupied by OS\n", n);
        return 1;
    }
    // The dry run of a reload decides everything as pass 2 will, but
    // announces nothing and starts no plugin.
    bool announce = !reload_dry_run();
    if (!ipv6_is_zero(s.ipaddr6)) {
        if (!vrrp_configured()) {
            cmd_error("unable to enable server %d (VRRP required for IPv6)\n", n);
            return 1;
        }
        int net6 = arp_find_network(s.ipaddr6);
        if (net6 == 0) {
            cmd_error("no IPv6 network found for server %d\n", n);
            return 1;
        }
        s.network6 = net6;
        if (announce) {
            arp_make_entry(s.ipaddr6, cfg.vrrp.vmac, 1, 0, 0, net6, 0, nullptr);
            if (vrrp_is_master())
                arp_send_neighbour_advert(s.ipaddr6, cfg.vrrp.vmac, net6);
        }
    }
    if (!ipv4_is_zero(s.ipaddr) && !same4(s.ipaddr, BROADCAST4) && !gslb) {
        uint8_t a16[16], mac[6];
        ipv4_mapped(a16, s.ipaddr);
        int net = arp_find_network(a16);
        s.network = net;
        if (announce && vrrp_configured()) {
            arp_make_entry(a16, cfg.vrrp.vmac, 1, 0, 0, net, 0, nullptr);
            if (net != 0 && vrrp_is_master())
                arp_send_gratuitous(s.ipaddr, cfg.vrrp.vmac, net);
        } else if (announce) {
            own_mac_of(mac, s.ipaddr);
            arp_enter_own_mac(mac);
            arp_make_entry(a16, mac, 1, 0, 0, net, 0, nullptr);
            if (net != 0)
                arp_send_gratuitous(s.ipaddr, mac, net);
        }
    }
    // Enabling an enabled server announces it again; it starts no second
    // plugin and is not counted twice.
    bool was_enabled = s.enabled != 0;
    s.rr_pos = s.ntargets > 0 ? 0 : RRPOS_UNSET;
    s.backup_rr_pos = s.nbackups > 0 ? 0 : RRPOS_UNSET;
    s.enabled = 1;
    if (was_enabled)
        return 1;
    if (s.plugin[0] != '\0' && announce && !plugin_start(n))
        cmd_error("problem starting plugin for server %d", n);
    registry_edit(server_registry)->enabled++;
    return 1;
}

static int
enable_target(int n, FILE *)
{
    TARGET &t = cfg_edit().targets[n];
    if (!t.registered) {
        cmd_error("target %d not registered\n", n);
        return 1;
    }
    const TARGET &old = cfg.shadow_targets[n];
    bool pass2 = interp.reload_pass == 2;
    bool router_set = !ipv4_is_zero(t.router);
    uint8_t a16[16], via16[16];
    if (router_set)
        ipv4_mapped(via16, t.router);
    // In pass 2 an address the target had before the reload keeps its
    // entry, but only a target that was enabled before has one.
    bool kept = pass2 && old.enabled;
    // The dry run of a reload makes no address entries and starts no probes.
    bool announce = !reload_dry_run();
    if (announce && !ipv4_is_zero(t.ipaddr) && (!kept || !same4(t.ipaddr, old.ipaddr))) {
        ipv4_mapped(a16, t.ipaddr);
        arp_make_entry(a16, nullptr, 0, 0, 0, 0, n, router_set ? t.router : nullptr);
    }
    if (announce && !ipv6_is_zero(t.ipaddr6) && (!kept || memcmp(t.ipaddr6, old.ipaddr6, 16) != 0))
        arp_make_entry(t.ipaddr6, nullptr, 0, 0, 0, 0, n, nullptr);
    if (announce && router_set && !arp_has_entry(via16))
        arp_make_entry(via16, nullptr, 0, 0, 0, network_containing(via16), 0, nullptr);
    bool was_enabled = t.enabled != 0;
    t.enabled = 1;
    t.softdisabled = 0;
    if (announce && !t.probes_started) {
        t.probes_started = 1;
        health_start_probes(n);
        bw_sampler_start(n);
    }
    if (!was_enabled)
        registry_edit(target_registry)->enabled++;
    return 1;
}

static const ITEMFN enable_fns[] = {enable_server, enable_target, enable_network, enable_interface};

int
cmd_enable(int, char **argv, FILE *out)
{
    int k = kind_of(argv[1]);
    if (k < 0)
        return unknown_kind(argv[2]);
    int result = for_each_item(k, argv[2], enable_fns[k], out);
    // The dry run of a reload neither checks (the check sets run-time
    // fields of the running tables) nor starts VRRP.
    if (reload_dry_run())
        return result;
    // The check and the VRRP start also follow a list that stopped at a
    // refused item: the items before it are enabled and announced.
    if (kinds[k].kind == KIND_SERVER || kinds[k].kind == KIND_NETWORK)
        config_check(out);
    if (kinds[k].kind == KIND_NETWORK && vrrp_configured())
        vrrp_startup();
    return result;
}

// ---------------------------------------------------------------------------
// disable

// True when another enabled server than n announces the same address.
static bool
address_shared4(int n, const uint8_t ip4[4])
{
    for (int m = 1; m <= MAXSERVER; m++) {
        const SERVER &o = cfg_edit().servers[m];
        if (m != n && o.enabled && o.gslb != GSLB_ENABLE && same4(o.ipaddr, ip4))
            return true;
    }
    return false;
}

static bool
address_shared6(int n, const uint8_t ip6[16])
{
    for (int m = 1; m <= MAXSERVER; m++) {
        const SERVER &o = cfg_edit().servers[m];
        if (m != n && o.enabled && memcmp(o.ipaddr6, ip6, 16) == 0)
            return true;
    }
    return false;
}

static int
disable_server(int n, FILE *)
{
    SERVER &s = cfg_edit().servers[n];
    if (!s.registered)
        return cmd_error("server %d not registered\n", n);
    if (!s.enabled)
        return cmd_error("server %d not enabled\n", n);
    s.enabled = 0;
    registry_edit(server_registry)->enabled--;
    // The dry run of a reload leaves plugins and address entries alone.
    if (reload_dry_run())
        return 1;
    plugin_stop(n);
    // Servers on one address with different ports share its entry: it goes
    // only with the last of them.
    uint8_t a16[16];
    if (!ipv4_is_zero(s.ipaddr) && !same4(s.ipaddr, BROADCAST4) && s.gslb != GSLB_ENABLE &&
        !address_shared4(n, s.ipaddr)) {
        ipv4_mapped(a16, s.ipaddr);
        arp_delete(a16);
    }
    if (!ipv6_is_zero(s.ipaddr6) && !address_shared6(n, s.ipaddr6))
        arp_delete(s.ipaddr6);
    return 1;
}

static int
disable_target(int n, FILE *)
{
    TARGET &t = cfg_edit().targets[n];
    if (!t.registered)
        return cmd_error("target %d not registered\n", n);
    if (!t.enabled)
        return cmd_error("target %d not enabled\n", n);
    t.enabled = 0;
    registry_edit(target_registry)->enabled--;
    return 1;
}

static int
disable_network(int n, FILE *)
{
    CONFIG &c = cfg_edit();
    NETWORK &net = c.networks[n];
    if (!net.enabled)
        return 1;
    net.enabled = 0;
    c.enabled_networks--;
    if (c.natoutside.network == n)
        c.natoutside = NATOUTSIDE{};
    // The dry run of a reload leaves the address table alone.
    if (reload_dry_run())
        return 1;
    uint8_t a16[16];
    if (!ipv4_is_zero(net.real)) {
        ipv4_mapped(a16, net.real);
        arp_delete(a16);
    }
    if (!ipv4_is_zero(net.virt)) {
        ipv4_mapped(a16, net.virt);
        arp_delete(a16);
    }
    // The IPv6 addresses were announced by the same enable; a disabled
    // network must stop answering for them too.
    if (!ipv6_is_zero(net.real6))
        arp_delete(net.real6);
    if (!ipv6_is_zero(net.virt6))
        arp_delete(net.virt6);
    return 1;
}

static int
disable_interface(int n, FILE *)
{
    CONFIG &c = cfg_edit();
    INTERFACE &i = c.interfaces[n];
    if (!i.enabled)
        return cmd_error("interface %d not enabled\n", n);
    interface_set_enabled(i, 0);
    c.enabled_interfaces--;
    // The dry run of a reload leaves the device open.
    if (reload_dry_run())
        return 1;
    interface_close(n);
    if (i.capture != nullptr || i.dumper != nullptr)
        dump_close(n);
    return 1;
}

static const ITEMFN disable_fns[] = {disable_server, disable_target, disable_network, disable_interface};

int
cmd_disable(int, char **argv, FILE *out)
{
    int k = kind_of(argv[1]);
    if (k < 0)
        return unknown_kind(argv[2]);
    return for_each_item(k, argv[2], disable_fns[k], out);
}

// ---------------------------------------------------------------------------
// commit, edit

int
cmd_commit(int argc, char **argv, FILE *out)
{
    cmd_register(argc, argv, out);
    cmd_enable(argc, argv, out);
    return 1;
}

int
cmd_edit(int argc, char **argv, FILE *out)
{
    cmd_disable(argc, argv, out);
    cmd_unregister(argc, argv, out);
    return 1;
}

// ---------------------------------------------------------------------------
// purge

static int
purge_server(int n, FILE *)
{
    SERVER &s = cfg_edit().servers[n];
    if (s.registered)
        return cmd_error("server %d needs to be in unregistered state\n", n);
    server_init(s);
    return 1;
}

static int
purge_target(int n, FILE *)
{
    TARGET &t = cfg_edit().targets[n];
    if (t.registered)
        return cmd_error("target %d needs to be in unregistered state\n", n);
    target_defaults(t);
    // The running target's traffic starts from zero with its counters (a
    // dry run clears only its scratch copy).
    if (!reload_dry_run())
        target_traffic_clear(n);
    return 1;
}

static int
purge_network(int n, FILE *)
{
    NETWORK &net = cfg_edit().networks[n];
    if (net.registered)
        return cmd_error("network %d needs to be in unregistered state\n", n);
    // Back to the start-up state, which has no sync interface: a zeroed
    // record would name interface 0 as sync interface.
    network_defaults(net);
    return 1;
}

static int
purge_interface(int n, FILE *)
{
    INTERFACE &i = cfg_edit().interfaces[n];
    if (i.registered)
        return cmd_error("interface %d needs to be in unregistered state\n", n);
    // The slot's link-detection thread keeps running: its two fields stay.
    int32_t io_started = i.io_started;
    int32_t link_state = i.link_state;
    pthread_rwlock_destroy(&i.lock);
    i = INTERFACE{};
    pthread_rwlock_init(&i.lock, nullptr);
    i.threads = 1;
    i.io_started = io_started;
    i.link_state = link_state;
    // The frame counters of the running slot live beside cfg; the dry run
    // of a reload leaves them alone.
    if (!reload_dry_run())
        interface_counts_clear(n);
    return 1;
}

static const ITEMFN purge_fns[] = {purge_server, purge_target, purge_network, purge_interface};

int
cmd_purge(int, char **argv, FILE *out)
{
    int k = kind_of(argv[1]);
    if (k < 0)
        return cmd_error("unknown subcommand %s\n", argv[2]);
    return for_each_item(k, argv[2], purge_fns[k], out);
}

// ---------------------------------------------------------------------------
// softdisable

static int
softdisable_target(int n, FILE *)
{
    TARGET &t = cfg_edit().targets[n];
    if (!t.registered)
        return cmd_error("target %d not registered\n", n);
    if (!t.enabled)
        return cmd_error("target %d not enabled\n", n);
    t.softdisabled = 1;
    return 1;
}

int
cmd_softdisable(int, char **argv, FILE *out)
{
    int k = kind_of(argv[1]);
    if (k < 0 || kinds[k].kind != KIND_TARGET)
        return cmd_error("unknown subcommand %s (\"target\" expected)\n", argv[2]);
    return for_each_item(k, argv[2], softdisable_target, out);
}

// ---------------------------------------------------------------------------
// interface <name>

int
interface_oneword(int, char **argv, FILE *out)
{
    if (interp.reload_pass != 0)
        return 1;
    int n = 0;
    for (int k = 1; k <= MAXINTERFACE && n == 0; k++)
        if (!cfg.interfaces[k].registered && !cfg.interfaces[k].enabled)
            n = k;
    if (n == 0)
        return cmd_error("too many interfaces (no slot available)\n");
    char line[1200];
    snprintf(line, sizeof line, "interface %d name \"%s\"", n, argv[1]);
    process_command_line(line, out);
    snprintf(line, sizeof line, "register interface %d", n);
    process_command_line(line, out);
    snprintf(line, sizeof line, "enable interface %d", n);
    process_command_line(line, out);
    return 1;
}
