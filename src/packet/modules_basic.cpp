// The small packet modules: switch, crossover, the four address filters,
// master, strict, ping, ip4debug, sctpdebug and the classic placeholder.
// Each returns 1 when it consumed the frame, 0 to pass it on, and reads a
// field only after checking that the frame holds it; a frame too short
// for a filter's key is treated as not matching. Protocol, offsets and
// lengths come from the reader's parse of the frame (FRAMEINFO).
#include <cstdio>
#include <cstring>

#include "command/process.h"
#include "config/addr.h"
#include "config/config_state.h"
#include "config/parameters.h"
#include "ha/vrrp.h"
#include "packet/arp_frames.h"
#include "packet/arphash.h"
#include "packet/filter_lists.h"
#include "packet/frame.h"
#include "packet/interface_io.h"
#include "packet/machash.h"
#include "packet/module.h"

namespace {

// The source address key of an IP frame for the IP filters: IPv4 source
// mapped to 16 bytes, or the IPv6 source. The filters classify by
// EtherType alone, so a frame whose IP header does not parse is still
// judged by the address where its EtherType puts it. False for other
// EtherTypes and for frames too short to hold the address.
bool ip_source_key(const uint8_t *frame, int len, const FRAMEINFO *fi, uint8_t key[16])
{
    switch (fi->ethertype) {
    case ETHTYPE_IPV4:
        if (!frame_has(len, ETH_HDRLEN + IP4_SRC, 4))
            return false;
        ipv4_mapped(key, frame + ETH_HDRLEN + IP4_SRC);
        return true;
    case ETHTYPE_IPV6:
        if (!frame_has(len, ETH_HDRLEN + IP6_SRC, 16))
            return false;
        memcpy(key, frame + ETH_HDRLEN + IP6_SRC, 16);
        return true;
    default:
        return false;
    }
}

// Reply buffer of the ping module, one per reader thread.
thread_local uint8_t reply[FRAMEBUF];

} // namespace

int mod_switch(int slot, int len, uint8_t *frame, FRAMEINFO *)
{
    if (len < ETH_HDRLEN)
        return 1;
    mh_learn(mac_table, frame + ETH_SRC, (uint32_t)slot);
    const uint8_t *dst = frame + ETH_DST;
    if (!mac_is_multicast(dst)) {
        int where = mh_interface_of(mac_table, dst);
        if (where >= 0) {
            if (where != slot)
                interface_send(where, frame, len);
            return 1;
        }
    }
    interface_send_others(slot, frame, len);
    return 1;
}

// A runt is no frame to put on another cable: it is consumed, not sent.
int mod_crossover(int slot, int len, uint8_t *frame, FRAMEINFO *)
{
    if (len >= ETH_HDRLEN)
        interface_send_others(slot, frame, len);
    return 1;
}

int mod_ipdeny(int, int len, uint8_t *frame, FRAMEINFO *fi)
{
    uint8_t key[16];
    return ip_source_key(frame, len, fi, key) && fl_has_ip(FL_IPDENY, key) ? 1 : 0;
}

int mod_ipallow(int, int len, uint8_t *frame, FRAMEINFO *fi)
{
    uint8_t key[16];
    return ip_source_key(frame, len, fi, key) && fl_has_ip(FL_IPALLOW, key) ? 0 : 1;
}

int mod_macdeny(int, int len, uint8_t *frame, FRAMEINFO *)
{
    return frame_has(len, ETH_SRC, 6) && fl_has_mac(FL_MACDENY, frame + ETH_SRC) ? 1 : 0;
}

int mod_macallow(int, int len, uint8_t *frame, FRAMEINFO *)
{
    return frame_has(len, ETH_SRC, 6) && fl_has_mac(FL_MACALLOW, frame + ETH_SRC) ? 0 : 1;
}

int mod_master(int slot, int len, uint8_t *frame, FRAMEINFO *)
{
    if (vrrp_backup())
        return 1;
    // Our own frames coming back (a switch flooding them, a loop) are
    // never processed twice.
    if (frame_has(len, ETH_SRC, 6) && slot >= 0 && slot < IFSLOTS &&
        mac_equal(frame + ETH_SRC, cfg.interfaces[slot].hwaddr))
        return 1;
    return 0;
}

int mod_strict(int, int len, uint8_t *frame, FRAMEINFO *)
{
    if (param_value(P_STRICTROUTING) != 1)
        return 0;
    if (!frame_has(len, ETH_DST, 6))
        return 1;
    const uint8_t *dst = frame + ETH_DST;
    if (vrrp_configured())
        return mac_equal(dst, cfg.vrrp.vmac) ? 0 : 1;
    if (dst[0] == 0x06 && (dst[1] == 0x00 || dst[1] == 0x01))
        return 0;
    // A host that hears one of our neighbour solicitations takes the MAC
    // it comes from as the soliciting address's and sends to it from then
    // on; those frames are ours as much as the ones to the 06:0x MACs.
    uint8_t smac[6];
    nd_solicitation_mac(smac);
    return mac_equal(dst, smac) ? 0 : 1;
}

// An echo request (v6: ICMPv6) to one of the daemon's addresses: answered
// on the interface it came in on. Apart from mod_ping's test, so that the
// other frames leave the module without the answer's register saves.
[[gnu::noinline]] static int
answer_echo(int slot, int len, uint8_t *frame, const FRAMEINFO *fi, bool v6)
{
    const uint8_t *ip = frame + fi->l3;
    uint8_t key[16];
    if (v6)
        memcpy(key, ip + IP6_DST, 16);
    else
        ipv4_mapped(key, ip + IP4_DST);

    AHHOP e;
    if (!ah_resolve(arp_table, key, &e)) {
        if (dmn.debug && !v6)
            fputs("vip not in arphash\n", stderr);
        return 0;
    }
    if (!e.vip)
        return vrrp_backup() ? 1 : 0;
    if (vrrp_backup() && mac_equal(e.mac, cfg.vrrp.vmac))
        return 1;
    int network = e.network;
    if (network < 1 || network > MAXNETWORK || slot < 0 || slot >= IFSLOTS || !cfg.networks[network].member[slot])
        return 1;
    if (!v6 && param_value(P_LOCALVIRT) == 1 && memcmp(ip + IP4_DST, cfg.networks[network].virt, 4) == 0)
        return 1;

    memcpy(reply, frame, (size_t)len);
    memcpy(reply + ETH_DST, frame + ETH_SRC, 6);
    memcpy(reply + ETH_SRC, frame + ETH_DST, 6);
    uint8_t *rip = reply + fi->l3;
    uint8_t *icmp = reply + fi->l4;
    if (!v6) {
        memcpy(rip + IP4_SRC, ip + IP4_DST, 4);
        memcpy(rip + IP4_DST, ip + IP4_SRC, 4);
        // Swapping the two addresses leaves every one's-complement sum as it
        // was; adjusting for them keeps the rule "every rewritten word is
        // accounted for" visible and costs four additions.
        csum_replace(rip + IP4_CSUM, ip + IP4_SRC, rip + IP4_SRC, 8);
        uint16_t oldw = rd16(icmp + ICMP_TYPE);
        icmp[ICMP_TYPE] = ICMP_ECHOREPLY;
        uint8_t o[2], n[2];
        wr16(o, oldw);
        memcpy(n, icmp + ICMP_TYPE, 2);
        icmp4_csum_replace(icmp, fi->l4len, o, n, 2);
    } else {
        memcpy(rip + IP6_SRC, ip + IP6_DST, 16);
        memcpy(rip + IP6_DST, ip + IP6_SRC, 16);
        icmp[ICMP_TYPE] = ICMP6_ECHOREPLY;
        l4_set_checksum(reply, fi);
    }
    interface_send(slot, reply, len);
    return 1;
}

int mod_ping(int slot, int len, uint8_t *frame, FRAMEINFO *fi)
{
    if (fi->l4 < 0 || fi->l4len < ICMP_HDRLEN)
        return 0;
    uint8_t type = frame[fi->l4 + ICMP_TYPE];
    if (fi->ethertype == ETHTYPE_IPV4 && fi->proto == IPPROTO_ICMP_ && type == ICMP_ECHO)
        return answer_echo(slot, len, frame, fi, false);
    if (fi->ethertype == ETHTYPE_IPV6 && fi->proto == IPPROTO_ICMPV6_ && type == ICMP6_ECHO)
        return answer_echo(slot, len, frame, fi, true);
    return 0;
}

int mod_ip4debug(int, int len, uint8_t *frame, FRAMEINFO *fi)
{
    if (!dmn.debug || fi->ethertype != ETHTYPE_IPV4 || fi->l3 < 0)
        return 0;
    const uint8_t *ip = frame + fi->l3;
    // The byte after the IP header (a fragment's too), when the frame holds it.
    int after = fi->l3 + fi->l3hdr;
    int l4byte = frame_has(len, after, 1) ? frame[after] : 0;
    const uint8_t *s = ip + IP4_SRC, *d = ip + IP4_DST;
    const uint8_t *sm = frame + ETH_SRC, *dm = frame + ETH_DST;
    fprintf(stderr, "-------- %d.%d.%d.%d -> %d.%d.%d.%d ip4proto: %d icmptype: %d\n", s[0], s[1], s[2], s[3], d[0], d[1],
            d[2], d[3], ip[IP4_PROTO], l4byte);
    fprintf(stderr, " %02x:%02x:%02x:%02x:%02x:%02x %02x:%02x:%02x:%02x:%02x:%02x\n", sm[0], sm[1], sm[2], sm[3], sm[4],
            sm[5], dm[0], dm[1], dm[2], dm[3], dm[4], dm[5]);
    return 0;
}

int mod_sctpdebug(int, int, uint8_t *frame, FRAMEINFO *fi)
{
    if (!dmn.debug || fi->ethertype != ETHTYPE_IPV4 || fi->proto != IPPROTO_SCTP_ || fi->l4 < 0 || fi->l4len < 4)
        return 0;
    const uint8_t *s = frame + fi->l3 + IP4_SRC, *d = frame + fi->l3 + IP4_DST;
    fputs("SCTP4 packet reveived\n", stderr);
    fprintf(stderr, "source address:%d.%d.%d.%d destimation address: %d.%d.%d.%d\n", s[0], s[1], s[2], s[3], d[0], d[1],
            d[2], d[3]);
    fprintf(stderr, "source port: %d destination port: %d\n", rd16(frame + fi->l4 + SCTP_SPORT),
            rd16(frame + fi->l4 + SCTP_DPORT));
    return 0;
}

// The older balancing module keeps its row in the module table; it passes
// every frame on.
int mod_classic(int, int, uint8_t *, FRAMEINFO *)
{
    return 0;
}
