// The `arp` module and everything around the ARP table: answering ARP
// requests and neighbour solicitations for own addresses, learning MACs
// from replies, gratuitous ARPs and advertisements, reporting conflicts
// with own addresses, the once-a-second refresh, the announcements of own
// addresses, the "arp" command and the arphash/machash/vips listings.
//
// The module reads entries found under the table's reader lock and changes
// their MAC and timers under the writer lock. It uses the entry of exactly
// the address a frame names (not the via entry a forwarding lookup would
// return), so a frame about a routed target never changes its router.
#include "packet/arp.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "command/command_table.h"
#include "command/interpreter.h"
#include "command/log.h"
#include "command/process.h"
#include "config/addr.h"
#include "config/config_state.h"
#include "config/config_writer.h"
#include "config/networks.h"
#include "config/parameters.h"
#include "config/show.h"
#include "ha/vrrp.h"
#include "packet/arp_frames.h"
#include "packet/frame.h"
#include "packet/interface_io.h"
#include "packet/machash.h"
#include "packet/module.h"

static const uint8_t zero_ip4[4] = {0, 0, 0, 0};

// The first seven bytes of an ARP body for IPv4 over Ethernet: hardware
// type 1, protocol 0x0800, address lengths 6 and 4, and the high byte of
// the operation (request 1 and reply 2 differ only in the low byte).
static const uint8_t arp_ipv4_head[7] = {0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00};

static bool is_member(int network, int slot)
{
    return valid_network(network) && slot >= 0 && slot < IFSLOTS && cfg.networks[network].member[slot] != 0;
}

static bool debug8()
{
    return param_value(P_DEBUGSCOPE) == 8;
}

static bool is_vmac(const uint8_t mac[6])
{
    return memcmp(mac, cfg.vrrp.vmac, 6) == 0;
}

// ---------------------------------------------------------------------------
// Networks of addresses

// The entry's network when enabled, else the first containing network.
static int network_of_entry(const AHENTRY *e)
{
    if (network_enabled(e->network))
        return e->network;
    return network_containing(e->addr);
}

int arp_network_of(const uint8_t addr[16])
{
    AHHOP hop;
    ah_resolve(arp_table, addr, &hop);
    return network_enabled(hop.key_network) ? hop.key_network : 0;
}

int arp_find_network_hop(const uint8_t addr[16], AHHOP *hop, bool *found)
{
    *found = ah_resolve(arp_table, addr, hop);
    return network_enabled(hop->key_network) ? hop->key_network : network_containing(addr);
}

int arp_find_network(const uint8_t addr[16])
{
    AHHOP hop;
    bool found;
    return arp_find_network_hop(addr, &hop, &found);
}

// ---------------------------------------------------------------------------
// Sending

void arp_send_request(int network, const uint8_t tip[4])
{
    if (!valid_network(network))
        return;
    const NETWORK &net = cfg.networks[network];
    if (ipv4_is_zero(net.real))
        return;
    uint8_t mac[6];
    network_real_mac(mac, network);
    uint8_t buf[ARP_REQ_FRAMELEN];
    int len = arp_build_request(buf, mac, net.real, tip);
    interface_send_set(buf, len, net.member);
}

void nd_send_solicitation(int network, const uint8_t target[16])
{
    if (!valid_network(network))
        return;
    const NETWORK &net = cfg.networks[network];
    if (ipv6_is_zero(net.real6))
        return;
    uint8_t smac[6];
    nd_solicitation_mac(smac);
    uint8_t buf[ND_FRAMELEN];
    int len = nd_build_solicitation(buf, smac, net.real6, target);
    interface_send_set(buf, len, net.member);
}

void arp_send_gratuitous(const uint8_t ip4[4], const uint8_t mac[6], int network)
{
    if (!valid_network(network))
        return;
    uint8_t buf[ARP_REQ_FRAMELEN];
    int len = arp_build_request(buf, mac, ip4, ip4);
    interface_send_set(buf, len, cfg.networks[network].member);
}

void arp_send_neighbour_advert(const uint8_t addr6[16], const uint8_t mac[6], int network)
{
    if (!valid_network(network))
        return;
    uint8_t buf[ND_FRAMELEN];
    int len = nd_build_unsolicited_advert(buf, addr6, mac);
    interface_send_set(buf, len, cfg.networks[network].member);
}

// ---------------------------------------------------------------------------
// Entries for the lifecycle

AHENTRY *arp_make_entry(const uint8_t addr[16], const uint8_t *mac, int vip, int fix, int psv, int network, int target,
                        const uint8_t *via)
{
    static const uint8_t none[6] = {};
    AHENTRY *e = ah_insert(arp_table, addr, none);
    ah_wrlock(arp_table);
    if (mac != nullptr)
        memcpy(e->mac, mac, 6);
    e->vip = vip;
    e->fix = fix;
    e->psv = psv;
    e->loc = 0;
    e->network = network;
    e->target_flag = target > 0 ? 1 : 0;
    e->target = target > 0 ? target : -1;
    memcpy(e->via, via != nullptr ? via : zero_ip4, 4);
    e->last_answer = 0;
    e->counter = 0;
    e->routed = 0;  // its owner resolves it now, not the routing step
    ah_unlock(arp_table);
    return e;
}

AHENTRY *arp_make_entry4(const uint8_t ip4[4], const uint8_t *mac, int vip, int fix, int psv, int network,
                         int target, const uint8_t *via)
{
    uint8_t key[16];
    ipv4_mapped(key, ip4);
    return arp_make_entry(key, mac, vip, fix, psv, network, target, via);
}

AHENTRY *arp_make_active(const uint8_t addr[16])
{
    static const uint8_t none[6] = {};
    AHENTRY *e = ah_insert(arp_table, addr, none);
    ah_wrlock(arp_table);
    e->psv = 0;
    e->routed = 0;  // the refresh resolves it from now on, not the routing step
    ah_unlock(arp_table);
    return e;
}

void arp_learn_sender(const uint8_t addr[16], const uint8_t mac[6])
{
    // A copy of the entry's fields: another thread's answer may be
    // rewriting the entry itself. (For an address reached through a
    // router this is the router's MAC, which its frames also carry.)
    AHHOP hop;
    if (ah_resolve(arp_table, addr, &hop)) {
        // ah_insert changes a known nonzero MAC only with psvrelearn; in
        // every other case it would take the writer lock for nothing.
        if (mac_equal(hop.mac, mac) || (!mac_is_zero(hop.mac) && param_value(P_PSVRELEARN) != 1))
            return;
        ah_insert(arp_table, addr, mac);
        return;
    }
    AHENTRY *e = ah_insert(arp_table, addr, mac);
    int n = network_containing(addr);
    if (n != 0) {
        ah_wrlock(arp_table);
        if (e->network == 0)
            e->network = n;
        ah_unlock(arp_table);
    }
}

void arp_learn_neighbour(const uint8_t addr[16], const uint8_t mac[6])
{
    // The common case first: an entry that has this MAC already, which
    // nothing would change whatever network holds the address.
    AHHOP hop;
    if (ah_resolve(arp_table, addr, &hop) && mac_equal(hop.mac, mac))
        return;
    if (network_containing(addr) != 0)
        arp_learn_sender(addr, mac);
}

void arp_delete(const uint8_t addr[16])
{
    ah_delete(arp_table, addr);
}

void arp_delete4(const uint8_t ip4[4])
{
    ah_delete4(arp_table, ip4);
}

bool arp_has_entry(const uint8_t addr[16])
{
    return ah_find(arp_table, addr) != nullptr;
}

void arp_enter_own_mac(const uint8_t mac[6])
{
    mh_insert(ownmac_table, mac, MH_NOIF);
}

bool arp_is_own_mac(const uint8_t mac[6])
{
    // A backup sees the frames its master is sent to the virtual MAC and
    // must leave them alone.
    if (is_vmac(mac) && vrrp_configured())
        return !vrrp_backup();
    return mh_lookup(ownmac_table, mac) != nullptr;
}

// ---------------------------------------------------------------------------
// Destinations the routing step resolves

// Unresolved routed entries (recounted by every refresh) and all routed
// entries ever made; both change only when an entry is made or swept.
static std::atomic<int> routed_pending{0};
static std::atomic<uint32_t> routed_made{0};

static bool routed_unresolved(const AHENTRY *e)
{
    return e->routed && mac_is_zero(e->mac);
}

// The request of the routing step for an address of network n.
static void route_ask(const uint8_t addr[16], int n)
{
    if (is_ipv4_mapped(addr))
        arp_send_request(n, addr + 12);
    else
        nd_send_solicitation(n, addr);
}

void arp_route_unresolved(const uint8_t addr[16], int network)
{
    uint32_t now = get_uptime();
    AHENTRY *e = ah_find(arp_table, addr);
    if (e == nullptr) {
        // Reserve a place under the cap before taking the writer lock; a
        // sender to ever new addresses only reads the counter once it is full.
        if (routed_pending.load(std::memory_order_relaxed) >= ARP_ROUTED_MAX)
            return;
        if (routed_pending.fetch_add(1, std::memory_order_relaxed) >= ARP_ROUTED_MAX) {
            routed_pending.fetch_sub(1, std::memory_order_relaxed);
            return;
        }
        AHENTRY proto = {};
        memcpy(proto.addr, addr, 16);
        proto.psv = 1;
        proto.target = -1;
        proto.network = network;
        proto.routed = 1;
        proto.asked = now;
        proto.wanted = now;
        if (ah_insert_new(arp_table, &proto) == nullptr) {
            // Another reader made it a moment ago and sent the request.
            routed_pending.fetch_sub(1, std::memory_order_relaxed);
            return;
        }
        routed_made.fetch_add(1, std::memory_order_relaxed);
        route_ask(addr, network);
        return;
    }
    if (!routed_unresolved(e))
        return;
    // Several readers may forward to the address at once: the times are
    // words of their own, stored only when they change, and the one
    // reader whose exchange moves the request time on asks.
    std::atomic_ref<uint32_t> wanted(e->wanted);
    if (wanted.load(std::memory_order_relaxed) != now)
        wanted.store(now, std::memory_order_relaxed);
    std::atomic_ref<uint32_t> asked(e->asked);
    uint32_t last = asked.load(std::memory_order_relaxed);
    if (now - last < (uint32_t)param_value(P_ARPLOOKUP))
        return;
    if (asked.compare_exchange_strong(last, now, std::memory_order_relaxed))
        route_ask(addr, network);
}

int arp_routed_pending()
{
    return routed_pending.load(std::memory_order_relaxed);
}

// What the refresh collects about routed entries during its walk.
struct ROUTEDSWEEP {
    uint32_t now;                                // uptime of this refresh
    int pending;                                 // unresolved routed entries seen
    int stale;                                   // entries collected for removal
    AHENTRY *entry[ARP_ROUTED_SWEEP];            // the collected entries
    uint8_t key[ARP_ROUTED_SWEEP][16];           // their keys when collected
};

static void sweep_count(ROUTEDSWEEP *w, AHENTRY *e)
{
    if (!routed_unresolved(e))
        return;
    w->pending++;
    uint32_t wanted = std::atomic_ref<uint32_t>(e->wanted).load(std::memory_order_relaxed);
    if (w->now - wanted >= ARP_ROUTED_IDLE && w->stale < ARP_ROUTED_SWEEP) {
        w->entry[w->stale] = e;
        memcpy(w->key[w->stale], e->addr, 16);
        w->stale++;
    }
}

// After the walk, which held the reader lock: removes the collected
// entries that are still unresolved and still under their key (entries
// are pool records, so the pointers stay readable), and stores the count.
static void sweep_finish(ROUTEDSWEEP *w, uint32_t made_before)
{
    int removed = 0;
    for (int k = 0; k < w->stale; k++) {
        const AHENTRY *e = w->entry[k];
        if (routed_unresolved(e) && memcmp(e->addr, w->key[k], 16) == 0) {
            ah_delete(arp_table, w->key[k]);
            removed++;
        }
    }
    // Entries made during the walk may or may not have been seen; counting
    // them again errs on the side of the cap until the next refresh.
    uint32_t made_during = routed_made.load(std::memory_order_relaxed) - made_before;
    routed_pending.store(w->pending - removed + (int)made_during, std::memory_order_relaxed);
}

static void switch_entry(AHENTRY *e, void *arg)
{
    int to_virtual = *(int *)arg;
    if (!e->vip || e->fix)
        return;
    uint8_t mac[6];
    if (to_virtual) {
        memcpy(mac, cfg.vrrp.vmac, 6);
    } else {
        if (e->family != 4)
            return;
        own_mac_of(mac, e->addr + 12);
    }
    // The walk holds the reader lock; a MAC is six bytes written by the
    // one command thread, which readers tolerate as they tolerate learning.
    memcpy(e->mac, mac, 6);
    if (valid_network(e->network) && e->family == 4 &&
        memcmp(cfg.networks[e->network].virt, e->addr + 12, 4) == 0)
        memcpy(cfg.networks[e->network].virtmac, mac, 6);
}

void arp_switch_vip_macs(int to_virtual)
{
    ah_walk(arp_table, switch_entry, &to_virtual);
}

struct VIPWALK {
    const uint8_t *mac;                                // MAC the entries must have
    void (*fn)(const uint8_t addr[16], void *arg);     // called per matching entry
    void *arg;                                         // passed through to fn
};

static void vip_walk_entry(AHENTRY *e, void *arg)
{
    VIPWALK *w = (VIPWALK *)arg;
    if (e->vip && memcmp(e->mac, w->mac, 6) == 0)
        w->fn(e->addr, w->arg);
}

void arp_walk_vips(const uint8_t mac[6], void (*fn)(const uint8_t addr[16], void *arg), void *arg)
{
    VIPWALK w = {mac, fn, arg};
    ah_walk(arp_table, vip_walk_entry, &w);
}

// ---------------------------------------------------------------------------
// Announcements

// `logged` asks for the per-address debug message: the announcement on
// becoming master names each address, the periodic reminder does not.
static void announce(const AHENTRY *e, bool logged)
{
    if (e->family == 4) {
        if (logged && debug8())
            log_message(7, "SENDING gratuitous ARP for %d.%d.%d.%d MAC address %02x:%02x:%02x:%02x:%02x:%02x",
                        e->addr[12], e->addr[13], e->addr[14], e->addr[15], e->mac[0], e->mac[1], e->mac[2],
                        e->mac[3], e->mac[4], e->mac[5]);
        arp_send_gratuitous(e->addr + 12, e->mac, e->network);
    } else {
        arp_send_neighbour_advert(e->addr, e->mac, e->network);
    }
}

static void announce_entry(AHENTRY *e, void *arg)
{
    bool with_fix = arg != nullptr;
    if (e->vip && (with_fix || !e->fix))
        announce(e, !with_fix);
}

void vrrp_send_gratuitous_arps()
{
    ah_walk(arp_table, announce_entry, nullptr);
}

void remind_send_gratuitous_arps()
{
    static int with_fix = 1;
    ah_walk(arp_table, announce_entry, &with_fix);
}

void arp_gratuitous_reminders()
{
    unsigned minutes = (unsigned)param_value(P_GRATARPREMIND);
    if (minutes == 0 || get_uptime() % (minutes * 60) != 0)
        return;
    if (vrrp_settings_complete()) {
        if (!vrrp_is_master())
            return;
        if (debug8())
            log_message(7, "remind_send_gratuitous_arps() #1 in regular_callback()");
    } else if (debug8()) {
        log_message(7, "remind_send_gratuitous_arps() #2 in regular_callback()");
    }
    remind_send_gratuitous_arps();
}

// ---------------------------------------------------------------------------
// Refresh

// Counts an entry one second on, asking for it when due. Unresolved
// entries cycle 0..arplookup-1 and are asked for at 0; resolved ones
// (set to arplookup + 1 by an answer) count up to arplookup + arprefresh + 1.
static void refresh_count(AHENTRY *e, bool ip6)
{
    int lookup = param_value(P_ARPLOOKUP);
    int refresh = param_value(P_ARPREFRESH);
    bool ask = e->counter == 0 || e->counter >= lookup + refresh + 1;
    if (ask) {
        int n = network_of_entry(e);
        if (n != 0) {
            if (ip6) {
                nd_send_solicitation(n, e->addr);
            } else if (!ipv4_is_zero(cfg.networks[n].real)) {
                if (dmn.debug) {
                    fprintf(stderr, "ARP request sent requesting: %d.%d.%d.%d\n", e->addr[12], e->addr[13],
                            e->addr[14], e->addr[15]);
                }
                arp_send_request(n, e->addr + 12);
            }
        }
        if (e->counter != 0) {
            e->counter = lookup + 1;
            return;
        }
    }
    e->counter++;
    if (e->counter == lookup)
        e->counter = 0;
}

static void refresh_entry(AHENTRY *e, void *arg)
{
    sweep_count((ROUTEDSWEEP *)arg, e);
    if (e->vip) {
        if (e->family != 4 || vrrp_backup() || param_value(P_SENDPROBES) != 1)
            return;
        e->counter++;
        if (e->counter >= param_value(P_ARPREFRESH)) {
            e->counter = 0;
            int n = network_of_entry(e);
            if (n != 0) {
                uint8_t mac[6];
                network_real_mac(mac, n);
                uint8_t buf[ARP_REQ_FRAMELEN];
                int len = arp_build_request(buf, mac, zero_ip4, e->addr + 12);
                interface_send_set(buf, len, cfg.networks[n].member);
            }
        }
        return;
    }
    if (e->psv || e->loc || memcmp(e->via, zero_ip4, 4) != 0)
        return;
    refresh_count(e, e->family != 4);
}

void arp_refresh()
{
    ROUTEDSWEEP sweep;
    sweep.now = get_uptime();
    sweep.pending = 0;
    sweep.stale = 0;
    uint32_t made_before = routed_made.load(std::memory_order_relaxed);
    ah_walk(arp_table, refresh_entry, &sweep);
    sweep_finish(&sweep, made_before);
}

// ---------------------------------------------------------------------------
// The module

// A target's address changed MAC through a gratuitous ARP or NA: keep the
// new MAC on the interface the target stuck to.
static void sticky_follow(int target, const uint8_t newmac[6])
{
    if (param_value(P_STICKYTARGET) != 1)
        return;
    if (debug8())
        log_message(7, "stickytarget is active");
    MHENTRY *m = mh_lookup(mac_table, newmac);
    if (m == nullptr)
        return;
    int iface = m->iface == MH_NOIF ? -1 : (int)m->iface;
    if (debug8())
        log_message(7, "corresponding machash entry found, current interface = %d", iface);
    int sticky = cfg.targets[target].sticky_interface;
    if (sticky != STICKY_NONE && sticky != iface) {
        if (debug8())
            log_message(6, "stickytarget active, target %d kept on interface %d instead of %d", target, sticky, iface);
        mh_set_interface(mac_table, newmac, (uint32_t)sticky);
    }
}

static void print_ip4(const char *label, const uint8_t *ip)
{
    fprintf(stderr, "%s%d.%d.%d.%d", label, ip[0], ip[1], ip[2], ip[3]);
}

static void print_ip6(const char *label, const uint8_t *ip)
{
    char text[64];
    fprintf(stderr, "%s%s\n", label, format_ipv6(text, sizeof text, ip));
}

// ARP request for an IPv4 address: answered for an own address, taken as
// a gratuitous announcement for a known host. Returns 1 consumed, 0 pass
// on, -1 continue with the other frame kinds.
static int arp_request(int slot, uint8_t *frame, const FRAMEINFO *fi)
{
    const uint8_t *a = frame + fi->l3;
    const uint8_t *sha = a + ARP_SHA;
    const uint8_t *spa = a + ARP_SPA;
    const uint8_t *tpa = a + ARP_TPA;
    if (dmn.debug) {
        print_ip4("EARLY ARP request received from: ", spa);
        print_ip4(" for: ", tpa);
        fputc('\n', stderr);
    }
    uint8_t key[16];
    ipv4_mapped(key, tpa);
    AHENTRY *e = ah_find(arp_table, key);
    if (e == nullptr || e->family != 4)
        return -1;
    if (e->vip) {
        if (vrrp_backup() && is_vmac(e->mac))
            return 1;
        if (!is_member(e->network, slot))
            return 1;
        if (dmn.debug) {
            print_ip4("ARP request received from: ", spa);
            print_ip4(" for: ", tpa);
            fputc('\n', stderr);
        }
        uint8_t reply[ARP_REPLY_FRAMELEN];
        uint8_t mac[6], rmac[6], rip[4], own[4];
        memcpy(mac, e->mac, 6);
        memcpy(own, tpa, 4);
        memcpy(rmac, sha, 6);
        memcpy(rip, spa, 4);
        int len = arp_build_reply(reply, mac, own, rmac, rip);
        interface_send(slot, reply, len);
        return 1;
    }
    if (memcmp(spa, tpa, 4) != 0)
        return 1;  // someone asking for a host: not ours to answer
    if (mac_equal(sha, e->mac))
        return 1;
    log_message(6, "gratuitous ARP accepted for %d.%d.%d.%d, new MAC address is %02x:%02x:%02x:%02x:%02x:%02x", tpa[0],
                tpa[1], tpa[2], tpa[3], sha[0], sha[1], sha[2], sha[3], sha[4], sha[5]);
    if (e->target_flag && valid_target(e->target)) {
        log_message(7, "IPv4 address %d.%d.%d.%d is target %d, sticky_interface = %d", tpa[0], tpa[1], tpa[2], tpa[3],
                    e->target, cfg.targets[e->target].sticky_interface);
        uint8_t old[6];
        memcpy(old, e->mac, 6);
        mh_mark_target(mac_table, old, e->target);
        sticky_follow(e->target, sha);
    }
    ah_wrlock(arp_table);
    memcpy(e->mac, sha, 6);
    ah_unlock(arp_table);
    return 1;
}

// ARP reply: learns the MAC of a known host, reports a conflict with an
// own address. Same results as arp_request.
static int arp_reply(int slot, uint8_t *frame, const FRAMEINFO *fi)
{
    const uint8_t *a = frame + fi->l3;
    const uint8_t *sha = a + ARP_SHA;
    const uint8_t *spa = a + ARP_SPA;
    if (dmn.debug) {
        print_ip4("ARP reply received from: ", spa);
        fputc('\n', stderr);
    }
    uint8_t key[16];
    ipv4_mapped(key, spa);
    AHENTRY *e = ah_find(arp_table, key);
    if (e == nullptr || e->family != 4)
        return vrrp_backup() ? 1 : -1;
    int n = network_of_entry(e);
    if (n == 0)
        return -1;
    if (!e->vip) {
        if (is_member(n, slot)) {
            uint32_t now = get_uptime();
            ah_wrlock(arp_table);
            memcpy(e->mac, sha, 6);
            e->counter = param_value(P_ARPLOOKUP) + 1;
            e->last_answer = now;
            ah_unlock(arp_table);
            if (e->target_flag && valid_target(e->target))
                mh_mark_target(mac_table, sha, e->target);
            const GATEWAY &gw = cfg.gateway;
            if (gw.configured && gw.arp.interval != 0 && memcmp(gw.ipaddr, spa, 4) == 0)
                cfg.gateway.arp.lastok = now;
        }
        return 0;
    }
    if (vrrp_backup())
        return 1;
    const uint8_t *s = frame + ETH_SRC;
    log_message(4, "IP address conflict: %02x:%02x:%02x:%02x:%02x:%02x claims to be local VIP %d.%d.%d.%d", s[0], s[1],
                s[2], s[3], s[4], s[5], spa[0], spa[1], spa[2], spa[3]);
    return 0;
}

// Neighbour solicitation: answered with an advertisement for an own IPv6
// address.
static int nd_solicitation(int slot, uint8_t *frame, const FRAMEINFO *fi)
{
    const uint8_t *target = frame + fi->l4 + ND_TARGET;
    if (dmn.debug)
        print_ip6("IPv6 Neighbor Solicitation Request received for ", target);
    AHENTRY *e = ah_find(arp_table, target);
    if (e == nullptr || e->family != 6)
        return 0;
    if (!e->vip)
        return 1;
    if (vrrp_backup() && is_vmac(e->mac))
        return 1;
    if (!is_member(e->network, slot))
        return 1;
    uint8_t out[ND_FRAMELEN];
    uint8_t mac[6], tgt[16], dmac[6], dst[16];
    memcpy(mac, e->mac, 6);
    memcpy(tgt, target, 16);
    memcpy(dmac, frame + ETH_SRC, 6);
    memcpy(dst, frame + fi->l3 + IP6_SRC, 16);
    uint8_t flags = NA_FLAG_SOLICITED | NA_FLAG_OVERRIDE;
    if (ipv6_is_zero(dst)) {
        // Duplicate address detection solicits from ::, which cannot be
        // answered; the answer goes to all nodes, unsolicited.
        static const uint8_t ff02_1[16] = {0xff, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
        static const uint8_t allnodes[6] = {0x33, 0x33, 0, 0, 0, 1};
        memcpy(dst, ff02_1, 16);
        memcpy(dmac, allnodes, 6);
        flags = NA_FLAG_OVERRIDE;
    }
    int len = nd_build_advert(out, dmac, mac, tgt, dst, flags, ND_OPT_TARGET_LLADDR, tgt);
    interface_send(slot, out, len);
    return 1;
}

// Neighbour advertisement: learns the MAC of a known IPv6 host, reports a
// conflict with an own address.
static int nd_advert(int slot, uint8_t *frame, const FRAMEINFO *fi)
{
    const uint8_t *target = frame + fi->l4 + ND_TARGET;
    const uint8_t *smac = frame + ETH_SRC;
    char text[64];
    if (dmn.debug)
        print_ip6("IPv6 Neighbor Advertisement received, target ", target);
    AHENTRY *e = ah_find(arp_table, target);
    if (e == nullptr || e->family != 6)
        return vrrp_backup() ? 1 : 0;
    int n = network_of_entry(e);
    if (n == 0)
        return 0;
    if (e->vip) {
        if (vrrp_backup())
            return 1;
        log_message(4, "IPv6 address conflict (bad Neighbor Advertisement): %02x:%02x:%02x:%02x:%02x:%02x claims to be local VIP %s",
                    smac[0], smac[1], smac[2], smac[3], smac[4], smac[5], format_ipv6(text, sizeof text, target));
        return 0;
    }
    if (!is_member(n, slot))
        return 0;
    if (debug8())
        log_message(6, "IPv6 gratuitous NA accepted for %s, new MAC address is %02x:%02x:%02x:%02x:%02x:%02x",
                    format_ipv6(text, sizeof text, target), smac[0], smac[1], smac[2], smac[3], smac[4], smac[5]);
    uint32_t now = get_uptime();
    uint8_t mac[6];
    memcpy(mac, smac, 6);
    ah_wrlock(arp_table);
    memcpy(e->mac, mac, 6);
    e->counter = param_value(P_ARPLOOKUP) + 1;
    e->last_answer = now;
    ah_unlock(arp_table);
    if (e->target_flag && valid_target(e->target)) {
        if (debug8())
            log_message(7, "gratuitous NA is for target %d, sticky_interface = %d", e->target,
                        cfg.targets[e->target].sticky_interface);
        sticky_follow(e->target, mac);
        mh_mark_target(mac_table, mac, e->target);
    }
    const GATEWAY &gw = cfg.gateway;
    if (gw.configured && gw.nd6.interval != 0 && memcmp(gw.ipaddr6, target, 16) == 0)
        cfg.gateway.nd6.lastok = now;
    return 0;
}

int mod_arp(int slot, int len, uint8_t *frame, FRAMEINFO *fi)
{
    if (len < ETH_HDRLEN)
        return 0;

    // Time exceeded messages are never forwarded: they would only report
    // the daemon's own rewriting back to the network.
    if (fi->ethertype == ETHTYPE_IPV4 && fi->proto == IPPROTO_ICMP_ && fi->l4 >= 0 && fi->l4len >= 1 &&
        frame[fi->l4 + ICMP_TYPE] == ICMP_TIMXCEED)
        return 1;

    mh_learn(mac_table, frame + ETH_SRC, (uint32_t)slot);

    // A parsed ARP frame holds the whole 28-byte body.
    if (fi->ethertype == ETHTYPE_ARP && fi->l3 >= 0 && memcmp(frame + fi->l3, arp_ipv4_head, 7) == 0) {
        // A group sender hardware address is no station's: answering it
        // would reach every station, learning it would send a host's
        // traffic to all of them.
        if (mac_is_multicast(frame + fi->l3 + ARP_SHA))
            return 1;
        int r = -1;
        uint8_t op = frame[fi->l3 + ARP_OPER + 1];
        if (op == ARP_REQUEST)
            r = arp_request(slot, frame, fi);
        else if (op == ARP_REPLY)
            r = arp_reply(slot, frame, fi);
        if (r >= 0)
            return r;
    }
    if (fi->ethertype == ETHTYPE_IPV6 && fi->proto == IPPROTO_ICMPV6_ && fi->l4len >= ND_MINLEN) {
        if (frame[fi->l4 + ICMP_TYPE] == ICMP6_NS)
            return nd_solicitation(slot, frame, fi);
        if (frame[fi->l4 + ICMP_TYPE] == ICMP6_NA)
            return nd_advert(slot, frame, fi);
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Commands and listings

// Parses an "arp" argument: dotted IPv4, or an IPv6 address for a static
// neighbour entry. The key is IPv4-mapped for IPv4.
static bool parse_arp_address(const char *text, uint8_t key[16])
{
    uint8_t ip4[4];
    if (parse_ipv4(text, ip4)) {
        ipv4_mapped(key, ip4);
        return true;
    }
    return strchr(text, ':') != nullptr && parse_ipv6(text, key) && !is_ipv4_mapped(key);
}

int cmd_arp(int argc, char **argv, FILE *)
{
    uint8_t key[16];
    if (argc < 2 || !parse_arp_address(argv[1], key))
        return cmd_error("invalid ip4-address %s\n", argc < 2 ? "" : argv[1]);
    // The dry run of a reload only checks the address.
    if (reload_dry_run())
        return 1;
    AHENTRY *e = arp_make_active(key);
    ah_wrlock(arp_table);
    e->vis = 1;
    ah_unlock(arp_table);
    return 1;
}

int cmd_no_arp(int argc, char **argv, FILE *)
{
    uint8_t key[16];
    if (argc < 2 || !parse_arp_address(argv[1], key))
        return cmd_error("invalid ip4-address %s\n", argc < 2 ? "" : argv[1]);
    AHENTRY *e = ah_find(arp_table, key);
    if (e == nullptr || reload_dry_run())
        return 1;
    // An own address or a target's address is owned by its network, server
    // or target; "no arp" only withdraws the static declaration then.
    if (e->vip || e->target_flag) {
        ah_wrlock(arp_table);
        e->vis = 0;
        ah_unlock(arp_table);
        return 1;
    }
    ah_delete(arp_table, key);
    return 1;
}

static void show_arp_entry(AHENTRY *e, void *arg)
{
    FILE *out = (FILE *)arg;
    char text[64];
    const uint8_t *m = e->mac;
    fprintf(out, "  %-30s %1d %02x:%02x:%02x:%02x:%02x:%02x", format_ipv6(text, sizeof text, e->addr), e->family,
            m[0], m[1], m[2], m[3], m[4], m[5]);
    if (e->target_flag && e->target >= 0)
        fprintf(out, " %4d", e->target);
    else
        fputs("    -", out);
    fputc(' ', out);
    if (e->network != 0)
        fprintf(out, "%3d ", e->network);
    else
        fputs("  - ", out);
    if (e->vip)
        fputs("    - ", out);
    else
        fprintf(out, "%5d ", e->counter);
    if (e->last_answer == 0) {
        fputs("    - ", out);
    } else {
        unsigned age = get_uptime() - e->last_answer;
        if (age > 99999)
            fputs("  old ", out);
        else
            fprintf(out, "%5u ", age);
    }
    if (memcmp(e->via, zero_ip4, 4) != 0)
        fputs("via ", out);
    if (e->vip)
        fputs("vip ", out);
    if (e->fix)
        fputs("fix ", out);
    if (e->vis)
        fputs("vis ", out);
    if (e->psv)
        fputs("psv ", out);
    if (e->loc)
        fputs("loc ", out);
    fputc('\n', out);
}

int show_arphash(int, char **, FILE *out)
{
    fputs("  ipaddr                         t ethaddr            tgt net  cntr   age flags\n", out);
    fputs("  ------------------------------ - ----------------- ---- --- ----- ----- -----------\n", out);
    ah_walk(arp_table, show_arp_entry, out);
    return 1;
}

static void show_mac_entry(MHENTRY *e, void *arg)
{
    FILE *out = (FILE *)arg;
    const uint8_t *m = e->mac;
    fprintf(out, "  %02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
    if (e->target_flag == 1)
        fprintf(out, " %2d", e->target);
    else
        fputs("   ", out);
    fprintf(out, " %s\n", e->iface < (uint32_t)IFSLOTS ? cfg.interfaces[e->iface].name : "?");
}

int show_machash(int, char **, FILE *out)
{
    fputs("  ethaddr           tg ifc \n", out);
    fputs("  ----------------- -- ----\n", out);
    mh_walk(mac_table, show_mac_entry, out);
    return 1;
}

static void show_vip_entry(AHENTRY *e, void *arg)
{
    if (!e->vip)
        return;
    FILE *out = (FILE *)arg;
    char text[64];
    const uint8_t *m = e->mac;
    fprintf(out, "  %-30s %02x:%02x:%02x:%02x:%02x:%02x %d\n", format_ipv6(text, sizeof text, e->addr), m[0], m[1],
            m[2], m[3], m[4], m[5], e->network);
}

int show_vips(int, char **, FILE *out)
{
    fputs("  ipaddr                         ethaddr           n\n", out);
    fputs("  ------------------------------ -------------------\n", out);
    ah_walk(arp_table, show_vip_entry, out);
    return 1;
}

struct STATICWRITE {
    FILE *out;        // stream written to
    const char *fmt;  // line format of the first word
    int family;       // 4 on the first pass, 6 on the second
};

static void write_static_entry(AHENTRY *e, void *arg)
{
    STATICWRITE *w = (STATICWRITE *)arg;
    if (!e->vis || e->family != w->family)
        return;
    char text[64];
    cw_word(w->out, w->fmt, "arp");
    fprintf(w->out, "%s\n", format_ip16(text, sizeof text, e->addr));
}

void write_static_arps(FILE *out, const char *fmt)
{
    STATICWRITE w = {out, fmt, 4};
    ah_walk(arp_table, write_static_entry, &w);
    w.family = 6;
    ah_walk(arp_table, write_static_entry, &w);
}
