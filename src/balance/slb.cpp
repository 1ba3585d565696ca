// The `slb` module and the targets' traffic counters (see slb.h).
//
// Frames come parsed (the reader's FRAMEINFO) and finished: a checksum a
// sender left to offload was completed by the reader, so every rewrite
// here is translate_frame with csum_unfinished false. translate_frame
// keeps the frame's length and offsets, so the one parse stays right
// after a rewrite, whether the frame is then sent or passed on.
#include "balance/slb.h"

#include <arpa/inet.h>
#include <atomic>
#include <cstring>

#include "balance/select.h"
#include "balance/session_id.h"
#include "balance/session_table.h"
#include "config/addr.h"
#include "config/config_state.h"
#include "config/index_registry.h"
#include "config/networks.h"
#include "health/health.h"
#include "packet/arp.h"
#include "packet/arphash.h"
#include "packet/gnat.h"
#include "packet/interface_io.h"
#include "packet/machash.h"
#include "packet/module.h"
#include "packet/route.h"
#include "packet/snat.h"
#include "packet/translate.h"

// ---------------------------------------------------------------------------
// Traffic counters

namespace {

enum TRAFFICFIELD { TR_PACKETS_TO, TR_BYTES_TO, TR_PACKETS_FROM, TR_BYTES_FROM, TR_FIELDS };

// One thread's counters of every target, written by that thread alone.
struct alignas(64) TRAFFICBLOCK {
    std::atomic<uint64_t> c[MAXTARGET + 1][TR_FIELDS];
};

// Zero until a thread first counts: the pages of an unused block are
// never touched.
TRAFFICBLOCK traffic_blocks[SLB_COUNTER_THREADS];
std::atomic<int> traffic_blocks_used{0};  // blocks handed out (may pass the capacity)
thread_local TRAFFICBLOCK *self_traffic = nullptr;
thread_local bool self_traffic_taken = false;

// What the threads' counters of each target summed to when the target was
// last cleared.
std::atomic<uint64_t> traffic_base[MAXTARGET + 1][TR_FIELDS];

TRAFFICBLOCK *traffic_self()
{
    if (!self_traffic_taken) {
        self_traffic_taken = true;
        int k = traffic_blocks_used.fetch_add(1, std::memory_order_relaxed);
        if (k < SLB_COUNTER_THREADS)
            self_traffic = &traffic_blocks[k];
    }
    return self_traffic;
}

void bump(std::atomic<uint64_t> &c, uint64_t v)
{
    c.store(c.load(std::memory_order_relaxed) + v, std::memory_order_relaxed);
}

// The threads' counters of target n, summed.
void thread_sums(int n, uint64_t out[TR_FIELDS])
{
    int used = traffic_blocks_used.load(std::memory_order_relaxed);
    if (used > SLB_COUNTER_THREADS)
        used = SLB_COUNTER_THREADS;
    for (int f = 0; f < TR_FIELDS; f++)
        out[f] = 0;
    for (int k = 0; k < used; k++)
        for (int f = 0; f < TR_FIELDS; f++)
            out[f] += traffic_blocks[k].c[n][f].load(std::memory_order_relaxed);
}

// One frame of len bytes towards target n (towards true) or from it.
void count_frame(int n, bool towards, int len)
{
    TRAFFICBLOCK *b = traffic_self();
    if (b != nullptr) {
        bump(b->c[n][towards ? TR_PACKETS_TO : TR_PACKETS_FROM], 1);
        bump(b->c[n][towards ? TR_BYTES_TO : TR_BYTES_FROM], (uint64_t)len);
        return;
    }
    TARGET &t = cfg.targets[n];
    pthread_mutex_lock(&t.lock);
    if (towards) {
        t.packets_to++;
        t.bytes_to += (uint64_t)len;
    } else {
        t.packets_from++;
        t.bytes_from += (uint64_t)len;
    }
    pthread_mutex_unlock(&t.lock);
}

} // namespace

void target_traffic(int n, TARGETTRAFFIC *out)
{
    *out = TARGETTRAFFIC{};
    if (!valid_target(n))
        return;
    uint64_t sum[TR_FIELDS];
    thread_sums(n, sum);
    for (int f = 0; f < TR_FIELDS; f++)
        sum[f] -= traffic_base[n][f].load(std::memory_order_relaxed);
    const TARGET &t = cfg.targets[n];
    out->packets_to = t.packets_to + sum[TR_PACKETS_TO];
    out->bytes_to = t.bytes_to + sum[TR_BYTES_TO];
    out->packets_from = t.packets_from + sum[TR_PACKETS_FROM];
    out->bytes_from = t.bytes_from + sum[TR_BYTES_FROM];
}

void target_traffic_clear(int n)
{
    if (!valid_target(n))
        return;
    uint64_t sum[TR_FIELDS];
    thread_sums(n, sum);
    for (int f = 0; f < TR_FIELDS; f++)
        traffic_base[n][f].store(sum[f], std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------
// The module

uint16_t slb_proxy_cursor[GNAT_TYPES];

namespace {

// The frame's addresses and ports, read once from the reader's parse.
struct SLBFRAME {
    bool v6;           // IPv6, else IPv4
    uint8_t src[16];   // source address, IPv4 mapped
    uint8_t dst[16];   // destination address, IPv4 mapped
    bool ports;        // TCP, UDP or SCTP with both ports present
    uint16_t sport;    // host order; 0 without ports
    uint16_t dport;    // host order; 0 without ports
};

void read_frame(const uint8_t *frame, const FRAMEINFO *fi, SLBFRAME *f)
{
    f->v6 = fi->ethertype == ETHTYPE_IPV6;
    frame_addr16(frame, fi, NATSIDE::SOURCE, f->src);
    frame_addr16(frame, fi, NATSIDE::DEST, f->dst);
    f->sport = f->dport = 0;
    f->ports = frame_ports(frame, fi, &f->sport, &f->dport);
}

// PROTOCOL code of a transport protocol; -1 for one the filters do not name.
int protocol_code(uint8_t proto)
{
    switch (proto) {
    case IPPROTO_TCP_:
        return PROTO_TCP;
    case IPPROTO_UDP_:
        return PROTO_UDP;
    case IPPROTO_SCTP_:
        return PROTO_SCTP;
    default:
        return -1;
    }
}

bool is_icmp(const FRAMEINFO *fi)
{
    return fi->ethertype == ETHTYPE_IPV6 ? fi->proto == IPPROTO_ICMPV6_ : fi->proto == IPPROTO_ICMP_;
}

// A server's filter lets its own protocol and ICMP through.
bool server_protocol_passes(const SERVER &s, const FRAMEINFO *fi)
{
    return s.protocol == PROTO_ANY || s.protocol == protocol_code(fi->proto) || is_icmp(fi);
}

// A target's filter lets its own protocol through, nothing else.
bool target_protocol_passes(const TARGET &t, const FRAMEINFO *fi)
{
    return t.protocol == PROTO_ANY || t.protocol == protocol_code(fi->proto);
}

// A TCP segment with FIN or RST set (the flags byte read only when the
// frame holds it).
bool fin_or_rst(const uint8_t *frame, const FRAMEINFO *fi)
{
    return fi->proto == IPPROTO_TCP_ && fi->l4 >= 0 && fi->l4len > TCP_FLAGS &&
           (frame[fi->l4 + TCP_FLAGS] & (TCP_FIN | TCP_RST)) != 0;
}

// Router messages that a path's MTU is smaller than a packet the server
// sent: ICMP fragmentation needed (type 3, code 4) and ICMPv6 packet too
// big (type 2). 0 for any other frame, 1 for such a message, and 2 when
// it also quotes the source port of the packet (the server's port), in
// *qport: the quoted packet's ports follow its own IP header, whose
// length the quoted IPv4 header gives; an IPv6 quote is taken without
// extension headers, its ports at frame offset 102.
int too_big(const uint8_t *frame, const FRAMEINFO *fi, uint16_t *qport)
{
    if (fi->l4 < 0 || fi->l4len < ICMP_HDRLEN)
        return 0;
    const uint8_t *icmp = frame + fi->l4;
    const uint8_t *q = icmp + ICMP_HDRLEN;   // the quoted IP header
    int qlen = fi->l4len - ICMP_HDRLEN;      // quoted bytes present
    int qports, qproto;
    if (fi->ethertype == ETHTYPE_IPV4) {
        if (fi->proto != IPPROTO_ICMP_ || icmp[ICMP_TYPE] != 3 || icmp[ICMP_CODE] != 4)
            return 0;
        if (qlen < IP4_MINHDR || (q[IP4_VIHL] >> 4) != 4 || (q[IP4_VIHL] & 0x0f) * 4 < IP4_MINHDR)
            return 1;
        qports = (q[IP4_VIHL] & 0x0f) * 4;
        qproto = q[IP4_PROTO];
    } else {
        if (fi->proto != IPPROTO_ICMPV6_ || icmp[ICMP_TYPE] != 2)
            return 0;
        if (qlen < IP6_HDRLEN)
            return 1;
        qports = IP6_HDRLEN;
        qproto = q[IP6_NXT];
    }
    if (!l4_has_ports((uint8_t)qproto) || qlen < qports + L4_PORTSLEN)
        return 1;
    *qport = rd16(q + qports + L4_SPORT);
    return 2;
}

// The enabled-or-not server a client frame is for: by (destination,
// port), then (destination, port 0), then for a too-big message by the
// quoted packet's source port; 0 when none.
int find_server(const uint8_t *frame, const FRAMEINFO *fi, const SLBFRAME &f)
{
    int n = ir_lookup(server_registry, f.dst, htons(f.dport));
    if (n == 0 && f.dport != 0)
        n = ir_lookup(server_registry, f.dst, 0);
    uint16_t qport;
    if (n == 0 && is_icmp(fi) && too_big(frame, fi, &qport) == 2)
        n = ir_lookup(server_registry, f.dst, htons(qport));
    return valid_server(n) ? n : 0;
}

// The registered target a frame comes from: by (source, port), then
// (source, port 0); 0 when none.
int find_target(const SLBFRAME &f)
{
    int n = ir_lookup(target_registry, f.src, htons(f.sport));
    if (n == 0 && f.sport != 0)
        n = ir_lookup(target_registry, f.src, 0);
    return valid_target(n) ? n : 0;
}

// An object's address of the frame's family as a 16-byte key; false when
// it has none.
bool address_of(const uint8_t ip4[4], const uint8_t ip6[16], bool v6, uint8_t out[16])
{
    if (v6) {
        if (ipv6_is_zero(ip6))
            return false;
        memcpy(out, ip6, 16);
        return true;
    }
    if (ipv4_is_zero(ip4))
        return false;
    ipv4_mapped(out, ip4);
    return true;
}

uint32_t session_timeout(const SERVER &s)
{
    return s.stimeout == STIMEOUT_NULL ? ST_TIMEOUT_NULL : (uint32_t)s.stimeout;
}

// A session the packet path made or moved: it carries the server's
// settings and its target's and server's counts go up (st_refresh left
// them to the caller). Under the table's writer lock, so that no garbage
// collection step can reclaim the session between its making and its
// counting.
void session_made(SESSION *s, const SERVER &srv, int server, int target)
{
    if (s == nullptr)
        return;
    if (srv.snat == 1)
        s->addr = 0;
    if (srv.ftimeout != 0)
        s->ftimeout = (uint32_t)srv.ftimeout;
    st_count(server, target, 1);
}

// The target of a client's session: the session's while that target is
// operational, else a newly selected one. A FIN or RST shortens an
// existing session to its ftimeout. -1 when no target can be selected.
int session_target(int server, const STKEY &key, const uint8_t *frame, int len, const FRAMEINFO *fi)
{
    const SERVER &srv = cfg.servers[server];
    st_wrlock(session_table);
    SESSION *s = st_lookup_key(session_table, key, server);
    if (s != nullptr && target_operational(s->target)) {
        int target = s->target;
        if (fin_or_rst(frame, fi))
            st_shorten(session_table, s);
        st_unlock(session_table);
        return target;
    }
    int target = select_target(server, frame, len, fi);
    if (!valid_target(target)) {
        st_unlock(session_table);
        return -1;
    }
    session_made(st_refresh(session_table, key.id, server, target, session_timeout(srv)), srv, server, target);
    st_unlock(session_table);
    return target;
}

// Sends the frame, addresses untouched, to the MAC of the target address
// taddr from the MAC the target's network sends from, on the interface
// where the target's MAC was learnt. Always consumes the frame: one whose
// target is unresolved, has a group MAC, sits on no interface or in no
// network of the daemon is dropped.
int send_to_mac(int len, uint8_t *frame, const uint8_t taddr[16], bool v6)
{
    AHHOP hop;
    if (!ah_resolve(arp_table, taddr, &hop) || mac_is_zero(hop.mac) || mac_is_multicast(hop.mac))
        return 1;
    uint8_t smac[6];
    int n = arp_find_network(taddr);
    if (n == 0 || !network_mac(smac, n, v6))
        return 1;
    int out = mh_interface_of(mac_table, hop.mac);
    if (out < 0)
        return 1;
    memcpy(frame + ETH_DST, hop.mac, 6);
    memcpy(frame + ETH_SRC, smac, 6);
    interface_send(out, frame, len);
    return 1;
}

// A too-big message for a server goes to each of its operational targets
// as it is (their own stack lowers the path MTU of the connection it
// quotes): every target, by number, whose referencing server is this one.
void too_big_to_targets(int server, int len, uint8_t *frame, bool v6)
{
    for (int n = 1; n <= MAXTARGET; n++) {
        const TARGET &t = cfg.targets[n];
        uint8_t taddr[16];
        if (t.registered && t.enabled && t.server == server && target_operational(n) &&
            address_of(t.ipaddr, t.ipaddr6, v6, taddr))
            send_to_mac(len, frame, taddr, v6);
    }
}

// The routing step from the MAC of the own address `own` (a server's),
// or from the network's MAC when that address has no MAC of its own.
int route_from(int slot, int len, uint8_t *frame, const FRAMEINFO *fi, const uint8_t own[16])
{
    AHHOP hop;
    if (ah_resolve(arp_table, own, &hop) && hop.vip && !mac_is_zero(hop.mac))
        return route_frame_from(slot, len, frame, fi, hop.mac);
    return route_frame(slot, len, frame, fi);
}

// The NAT association type of a proxied frame: TCP and UDP by family; 0
// for anything else.
uint16_t proxy_type(const FRAMEINFO *fi, const SLBFRAME &f)
{
    if (!f.ports)
        return 0;
    if (fi->proto == IPPROTO_TCP_)
        return f.v6 ? GNAT_TCP6 : GNAT_TCP4;
    if (fi->proto == IPPROTO_UDP_)
        return f.v6 ? GNAT_UDP6 : GNAT_UDP4;
    return 0;
}

GNATKEY gnat_key(const uint8_t addr[16], uint16_t type, uint16_t port)
{
    GNATKEY k;
    memcpy(k.addr, addr, 16);
    k.type = type;
    k.port = port;
    return k;
}

// Proxy: the frame, already rewritten for its target, leaves from the
// server's address `vip` and a port of the client's association, so the
// target answers the balancer rather than the client. Other protocols
// leave as they are.
int proxy_forward(int slot, int len, uint8_t *frame, const FRAMEINFO *fi, const SLBFRAME &f, const uint8_t vip[16])
{
    uint16_t type = proxy_type(fi, f);
    if (type != 0) {
        GNATKEY left = gnat_key(f.src, type, f.sport);
        GNATPAIR p;
        if (!gnat_find_left(gnat_table, left, &p) &&
            !gnat_allocate_port(gnat_table, left, vip, type, &slb_proxy_cursor[type], &p))
            return 1;  // every port of the server's address is taken
        // The client's side may have an association of the nat module
        // (another address on the right): this frame cannot be proxied.
        if (memcmp(p.right.addr, vip, 16) != 0)
            return 1;
        if (!translate_frame(frame, fi, NATSIDE::SOURCE, XLATE_ADDR | XLATE_PORT, p.right.addr, p.right.port, false))
            return 1;
    }
    return route_from(slot, len, frame, fi, vip);
}

// A client frame for enabled server `server` towards `target`.
int forward(int slot, int len, uint8_t *frame, const FRAMEINFO *fi, const SLBFRAME &f, int server, int target)
{
    const TARGET &t = cfg.targets[target];
    // The client is learnt where it is a neighbour; clients beyond the
    // gateway are reached through it and get no entries.
    arp_learn_neighbour(f.src, frame + ETH_SRC);
    uint8_t taddr[16];
    if (!address_of(t.ipaddr, t.ipaddr6, f.v6, taddr))
        return 1;  // the target has no address of the client's family
    if (t.dsr) {
        // Direct server return: the target holds the server's address
        // itself and answers the client directly.
        count_frame(target, true, len);
        return send_to_mac(len, frame, taddr, f.v6);
    }
    int what = XLATE_ADDR;
    if (t.port != 0 && f.ports)
        what |= XLATE_PORT;
    if (!translate_frame(frame, fi, NATSIDE::DEST, what, taddr, ntohs(t.port), false))
        return 1;
    count_frame(target, true, len);
    if (cfg.servers[server].proxy == 1)
        return proxy_forward(slot, len, frame, fi, f, f.dst);
    return route_frame(slot, len, frame, fi);
}

// A target's reply for enabled server `server`: from the server's address
// (and port), out to the client.
int return_rewrite(int slot, int len, uint8_t *frame, const FRAMEINFO *fi, const SLBFRAME &f, int server, int target)
{
    const SERVER &s = cfg.servers[server];
    uint8_t vip[16];
    if (!address_of(s.ipaddr, s.ipaddr6, f.v6, vip))
        return 1;
    int what = XLATE_ADDR;
    if (s.port2 != 0) {
        // Two related ports: the reply keeps its port, which must be one
        // of the two.
        if (!f.ports || (f.sport != ntohs(s.port) && f.sport != ntohs(s.port2)))
            return 1;
    } else if (s.port != 0 && f.ports) {
        what |= XLATE_PORT;
    }
    if (!translate_frame(frame, fi, NATSIDE::SOURCE, what, vip, ntohs(s.port), false))
        return 1;
    count_frame(target, false, len);
    return route_from(slot, len, frame, fi, vip);
}

// A target with reverse SNAT: the reply's destination, a pool address,
// goes back to the address it stands in for.
void snat_return(uint8_t *frame, const FRAMEINFO *fi, const SLBFRAME &f)
{
    if (f.v6)
        return;
    uint32_t left = snat_lookup_right(rd32(f.dst + 12));
    if (left == 0)
        return;
    uint8_t a16[16], a4[4];
    wr32(a4, left);
    ipv4_mapped(a16, a4);
    translate_frame(frame, fi, NATSIDE::DEST, XLATE_ADDR, a16, 0, false);
}

// A frame from a source that may be a target (`target`, when the proxy
// test found it already, else 0).
int from_target(int slot, int len, uint8_t *frame, const FRAMEINFO *fi, const SLBFRAME &f, int target)
{
    if (target == 0)
        target = find_target(f);
    if (target == 0)
        return 0;
    const TARGET &t = cfg.targets[target];
    if (!t.enabled || !target_protocol_passes(t, fi))
        return 0;
    char buf[SIDBUFLEN];
    STKEY key;
    if (!sid_make_key(t.sid, frame, len, fi, buf, &key))
        return 0;

    st_wrlock(session_table);
    SESSION *s = st_lookup_target_key(session_table, key, target);
    int server;
    if (s != nullptr) {
        server = s->server;
        if (!target_operational(target) || !valid_server(server) || !cfg.servers[server].enabled) {
            st_unlock(session_table);
            return 1;
        }
        if (fin_or_rst(frame, fi))
            st_shorten(session_table, s);
        st_unlock(session_table);
        if (t.snat == 1)
            snat_return(frame, fi, f);
    } else {
        // A connection the target opens itself: a session of its
        // referencing server, when the target may create one.
        server = t.server;
        if (!target_operational(target) || t.screate != 1 || !valid_server(server)) {
            st_unlock(session_table);
            return 0;
        }
        const SERVER &srv = cfg.servers[server];
        if (!srv.enabled) {
            st_unlock(session_table);
            return 1;
        }
        session_made(st_refresh(session_table, key.id, server, target, session_timeout(srv)), srv, server, target);
        st_unlock(session_table);
    }
    return return_rewrite(slot, len, frame, fi, f, server, target);
}

// Proxy return translation: a target's reply to one of the proxy's
// associations goes back to the client's own address and port. Only
// frames from a target: a client whose own port happens to be one the
// proxy gave out must not be delivered to another client.
void proxy_return(uint8_t *frame, const FRAMEINFO *fi, SLBFRAME *f)
{
    uint16_t type = proxy_type(fi, *f);
    GNATPAIR p;
    if (type == 0 || !gnat_find_right(gnat_table, gnat_key(f->dst, type, f->dport), &p))
        return;
    if (!translate_frame(frame, fi, NATSIDE::DEST, XLATE_ADDR | XLATE_PORT, p.left.addr, p.left.port, false))
        return;
    memcpy(f->dst, p.left.addr, 16);
    f->dport = p.left.port;
}

} // namespace

int mod_slb(int slot, int len, uint8_t *frame, FRAMEINFO *fi)
{
    if (mod_strict(slot, len, frame, fi) != 0)
        return 1;
    if (fi->l3 < 0 || (fi->ethertype != ETHTYPE_IPV4 && fi->ethertype != ETHTYPE_IPV6))
        return 0;
    SLBFRAME f;
    read_frame(frame, fi, &f);

    int target = 0;
    if (cfg.proxy_in_use && proxy_type(fi, f) != 0) {
        target = find_target(f);
        if (target != 0)
            proxy_return(frame, fi, &f);
    }

    int server = find_server(frame, fi, f);
    if (server == 0 || !server_protocol_passes(cfg.servers[server], fi))
        return from_target(slot, len, frame, fi, f, target);
    const SERVER &s = cfg.servers[server];
    if (!s.enabled)
        return 1;
    if (is_icmp(fi)) {
        uint16_t qport;
        if (too_big(frame, fi, &qport) == 0)
            return 0;
        too_big_to_targets(server, len, frame, f.v6);
        return 1;
    }
    char buf[SIDBUFLEN];
    STKEY key;
    if (!sid_make_key(s.sid, frame, len, fi, buf, &key))
        return 1;
    int t = session_target(server, key, frame, len, fi);
    if (t <= 0)
        return 1;
    return forward(slot, len, frame, fi, f, server, t);
}
