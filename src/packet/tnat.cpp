// Target NAT: the forward and reverse tables, the `tnat` module, the
// `tnat` command with its block and revert forms, and the tnat block of a
// saved configuration (see tnat.h).
//
// A frame with an unfinished checksum never reaches the chain (the reader
// completes it), so the module's translations pass csum_unfinished =
// false. translate_frame keeps the frame's offsets and the routing step
// consumes the frame, so the reader's FRAMEINFO needs no new parse.
#include "packet/tnat.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <vector>

#include "command/command_table.h"
#include "command/interpreter.h"
#include "config/addr.h"
#include "config/config_state.h"
#include "config/config_writer.h"
#include "config/parameters.h"
#include "ha/vrrp.h"
#include "packet/arp.h"
#include "packet/module.h"
#include "packet/route.h"
#include "packet/translate.h"

NATHASH *tnat_forward = nh_create();
NATHASH *tnat_reverse = nh_create();

namespace {

// The number of rules, for the module's first test: with no rules (the
// usual case) a frame costs no table lookup. Written by the commands,
// read by every reader thread.
std::atomic<int> rule_count{0};

void recount()
{
    int n = 0;
    nh_walk(tnat_forward, [](const NHENTRY *, void *arg) { ++*(int *)arg; }, &n);
    rule_count.store(n, std::memory_order_relaxed);
}

NHKEY rule_key(const uint8_t addr[16], uint8_t proto, uint16_t port)
{
    NHKEY k;
    memset(&k, 0, sizeof k);  // padding too: keys may be compared as bytes
    memcpy(k.addr, addr, 16);
    k.proto = proto;
    k.port = port;
    return k;
}

// The value of (addr, proto, any port), else of (addr, proto, port) when
// the frame has a port.
bool rule_lookup(NATHASH *t, const uint8_t addr[16], uint8_t proto, bool has_port, uint16_t port, uint8_t to[16])
{
    NHKEY k = rule_key(addr, proto, 0);
    if (nh_lookup(t, k, to, nullptr))
        return true;
    if (!has_port || port == 0)
        return false;
    k.port = port;
    return nh_lookup(t, k, to, nullptr);
}

} // namespace

int tnat_rule_count()
{
    return rule_count.load(std::memory_order_relaxed);
}

void tnat_clear()
{
    nh_clear(tnat_forward);
    nh_clear(tnat_reverse);
    recount();
}

// ---------------------------------------------------------------------------
// The module

int mod_tnat(int slot, int len, uint8_t *frame, FRAMEINFO *fi)
{
    if (rule_count.load(std::memory_order_relaxed) == 0)
        return 0;
    // A parsed IP layer also means a whole Ethernet header to test below.
    if (fi->l3 < 0 || (fi->ethertype != ETHTYPE_IPV4 && fi->ethertype != ETHTYPE_IPV6) ||
        (fi->proto != IPPROTO_TCP_ && fi->proto != IPPROTO_UDP_))
        return 0;
    if (param_value(P_STRICTROUTING) == 1) {
        // Only frames sent to one of the daemon's own MACs: the VRRP
        // virtual MAC, or without VRRP the 06:00 MACs of own addresses.
        const uint8_t *dmac = frame + ETH_DST;
        if (vrrp_configured() ? !mac_equal(dmac, cfg.vrrp.vmac) : !(dmac[0] == 0x06 && dmac[1] == 0x00))
            return 0;
    }
    uint8_t src[16], dst[16];
    frame_addr16(frame, fi, NATSIDE::SOURCE, src);
    frame_addr16(frame, fi, NATSIDE::DEST, dst);
    // A non-first fragment has no ports: only any-port rules reach it.
    uint16_t sport = 0, dport = 0;
    bool ports = frame_nat_port(frame, fi, NATSIDE::SOURCE, &sport) && frame_nat_port(frame, fi, NATSIDE::DEST, &dport);
    uint8_t to[16];
    NATSIDE side;
    if (rule_lookup(tnat_forward, dst, fi->proto, ports, dport, to))
        side = NATSIDE::DEST;
    else if (rule_lookup(tnat_reverse, src, fi->proto, ports, sport, to))
        side = NATSIDE::SOURCE;
    else
        return 0;
    // A frame of a rule that cannot be rewritten must not leave untranslated.
    if (!translate_frame(frame, fi, side, XLATE_ADDR, to, 0, false))
        return 1;
    return route_frame(slot, len, frame, fi);
}

// ---------------------------------------------------------------------------
// The command

namespace {

struct RULE {
    uint8_t ipa[16];   // the target, IPv4-mapped for IPv4
    uint8_t ipb[16];   // its outside address
    uint8_t proto;     // 6 TCP, 17 UDP
    uint16_t port;     // 0 = any port
};

bool parse_address(const char *text, uint8_t out[16])
{
    uint8_t a4[4];
    if (parse_ipv4(text, a4)) {
        ipv4_mapped(out, a4);
        return true;
    }
    return parse_ipv6(text, out);
}

// "any" is port 0; a decimal number is taken modulo 65536; any other text
// reads as 0 too, the way a number parser that stops at the first
// non-digit reads it.
uint16_t parse_port(const char *text)
{
    if (strcmp(text, "any") == 0)
        return 0;
    const char *p = text;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        p++;
    uint32_t v = 0;
    for (; isdigit((unsigned char)*p); p++)
        v = (v * 10 + (uint32_t)(*p - '0')) & 0xffff;
    return (uint16_t)(negative ? 0x10000 - v : v);
}

// Words 1 to 4 of a rule: ipa ipb tcp|udp port|any. Reports and returns 0
// on a bad word.
int parse_rule(char **argv, RULE *r)
{
    if (!parse_address(argv[1], r->ipa))
        return cmd_error("invalid IP-address %s\n", argv[1]);
    if (!parse_address(argv[2], r->ipb))
        return cmd_error("invalid IP-address %s\n", argv[2]);
    if (is_ipv4_mapped(r->ipa) != is_ipv4_mapped(r->ipb))
        return cmd_error("tnat: mixing IPv4 and IPv6 not allowed\n");
    if (argv[3][0] != '\0' && keyword_match(argv[3], "tcp"))
        r->proto = IPPROTO_TCP_;
    else if (argv[3][0] != '\0' && keyword_match(argv[3], "udp"))
        r->proto = IPPROTO_UDP_;
    else
        return cmd_error("invalid protocol specifier %s\n", argv[3]);
    r->port = parse_port(argv[4]);
    return 1;
}

// key -> value, unless the table maps the key to that value already (a
// rule given again, as by the second pass of a reload, changes nothing and
// is never missing for a moment); another value is replaced.
void put(NATHASH *t, const NHKEY &k, const uint8_t value[16])
{
    uint8_t cur[16];
    if (nh_lookup(t, k, cur, nullptr)) {
        if (memcmp(cur, value, 16) == 0)
            return;
        nh_delete(t, k);
    }
    nh_insert(t, k, value);
}

// Removes the key only while it still maps to this rule's value, so that
// taking one rule back leaves a later rule on the same key alone.
void take(NATHASH *t, const NHKEY &k, const uint8_t value[16])
{
    uint8_t cur[16];
    if (nh_lookup(t, k, cur, nullptr) && memcmp(cur, value, 16) == 0)
        nh_delete(t, k);
}

// The target is resolved and kept resolved; the outside address becomes
// an own address of the network that holds it and is announced. An own
// address that is already there (a network's or a server's, or one an
// earlier rule made) keeps its entry.
void enter_addresses(const RULE &r, int network)
{
    arp_make_active(r.ipa);
    bool v6 = !is_ipv4_mapped(r.ipb);
    uint8_t mac[6];
    AHHOP own;
    if (ah_resolve(arp_table, r.ipb, &own) && own.vip) {
        memcpy(mac, own.mac, 6);
        network = own.network;
    } else {
        if (v6 || vrrp_configured())
            memcpy(mac, cfg.vrrp.vmac, 6);
        else
            own_mac_of(mac, r.ipb + 12);
        arp_make_entry(r.ipb, mac, 1, 0, 0, network, 0, nullptr);
        arp_enter_own_mac(mac);
    }
    // A shared address is announced by the master alone.
    if (vrrp_configured() && !vrrp_is_master())
        return;
    if (v6)
        arp_send_neighbour_advert(r.ipb, mac, network);
    else
        arp_send_gratuitous(r.ipb + 12, mac, network);
}

// True when an enabled network or server has the address as its own.
bool owned_elsewhere(const uint8_t a[16])
{
    for (int n = 1; n <= MAXNETWORK; n++) {
        const NETWORK &net = cfg.networks[n];
        if (!net.enabled)
            continue;
        if ((is_ipv4_mapped(a) && (memcmp(net.real, a + 12, 4) == 0 || memcmp(net.virt, a + 12, 4) == 0)) ||
            memcmp(net.real6, a, 16) == 0 || memcmp(net.virt6, a, 16) == 0)
            return true;
    }
    for (int s = 1; s <= MAXSERVER; s++) {
        const SERVER &sv = cfg.servers[s];
        if (sv.enabled && ((is_ipv4_mapped(a) && memcmp(sv.ipaddr, a + 12, 4) == 0) || memcmp(sv.ipaddr6, a, 16) == 0))
            return true;
    }
    return false;
}

struct ADDRUSE {
    const uint8_t *addr;   // outside address looked for
    bool used;             // a forward key has it
};

// The own-address entry of an outside address goes with the last rule
// that names it, unless a network or a server has the address too.
void release_address(const uint8_t ipb[16])
{
    ADDRUSE u = {ipb, false};
    nh_walk(
        tnat_forward,
        [](const NHENTRY *e, void *arg) {
            ADDRUSE *u = (ADDRUSE *)arg;
            if (memcmp(e->key.addr, u->addr, 16) == 0)
                u->used = true;
        },
        &u);
    if (u.used || owned_elsewhere(ipb))
        return;
    const AHENTRY *e = ah_find(arp_table, ipb);
    if (e != nullptr && e->vip && !e->fix)
        arp_delete(ipb);
}

} // namespace

int cmd_tnat(int argc, char **argv, FILE *)
{
    if (argc == 2) {
        if (strcmp(argv[1], "{") == 0) {
            block_open("tnat", "");
            return 1;
        }
        if (strcmp(argv[1], "}") == 0) {
            block_close();
            return 1;
        }
    }
    if (argc != 5)
        return cmd_error("argument error\n");
    RULE r;
    if (!parse_rule(argv, &r))
        return 0;
    int network = arp_find_network(r.ipb);
    if (!is_ipv4_mapped(r.ipb)) {
        if (!vrrp_configured())
            return cmd_error("unable to implement IPv6 TNAT (VRRP required for IPv6)\n");
        if (network == 0)
            return cmd_error("no IPv6 network found for TNAT entry\n");
    }
    // The dry run of a reload checks the rule and stops there: the tables,
    // the address entries and the wire stay as they are.
    if (reload_dry_run())
        return 1;
    put(tnat_forward, rule_key(r.ipb, r.proto, r.port), r.ipa);
    put(tnat_reverse, rule_key(r.ipa, r.proto, r.port), r.ipb);
    recount();
    enter_addresses(r, network);
    return 1;
}

int cmd_no_tnat(int argc, char **argv, FILE *)
{
    if (argc != 5)
        return cmd_error("argument error\n");
    RULE r;
    if (!parse_rule(argv, &r))
        return 0;
    if (reload_dry_run())
        return 1;
    take(tnat_forward, rule_key(r.ipb, r.proto, r.port), r.ipa);
    take(tnat_reverse, rule_key(r.ipa, r.proto, r.port), r.ipb);
    recount();
    release_address(r.ipb);
    return 1;
}

// ---------------------------------------------------------------------------
// Configuration writer

void write_tnat(FILE *out, const char *fmt)
{
    std::vector<RULE> rules;
    nh_walk(
        tnat_forward,
        [](const NHENTRY *e, void *arg) {
            RULE r;
            memcpy(r.ipa, e->value, 16);
            memcpy(r.ipb, e->key.addr, 16);
            r.proto = e->key.proto;
            r.port = e->key.port;
            ((std::vector<RULE> *)arg)->push_back(r);
        },
        &rules);
    if (rules.empty())
        return;
    // In a fixed order, so that saving the same rules twice gives the same text.
    std::sort(rules.begin(), rules.end(), [](const RULE &a, const RULE &b) {
        if (int c = memcmp(a.ipa, b.ipa, 16))
            return c < 0;
        if (int c = memcmp(a.ipb, b.ipb, 16))
            return c < 0;
        if (a.proto != b.proto)
            return a.proto < b.proto;
        return a.port < b.port;
    });
    cw_word(out, fmt, "tnat");
    fputs("{\n", out);
    for (const RULE &r : rules) {
        char a[64], b[64];
        cw_word(out, fmt, "");
        fprintf(out, "%s %s %s ", format_ip16(a, sizeof a, r.ipa), format_ip16(b, sizeof b, r.ipb),
                r.proto == IPPROTO_TCP_ ? "tcp" : "udp");
        if (r.port == 0)
            fputs("any\n", out);
        else
            fprintf(out, "%u\n", (unsigned)r.port);
    }
    cw_close(out, fmt);
}
