// The `nat` module: outbound translation of inside hosts to the outside
// address with a port of its own, and the inbound translation back (see
// nat.h).
//
// A frame whose checksum a sender left to transmit offload never reaches
// the chain unfinished: the reader completes it first. So the translations
// here pass csum_unfinished = false and every checksum is adjusted
// incrementally. translate_frame keeps the frame's length and offsets, and
// the routing step consumes the frame, so the reader's FRAMEINFO stays
// right without a new parse.
#include "packet/nat.h"

#include <cstring>

#include "config/addr.h"
#include "config/config_state.h"
#include "config/networks.h"
#include "config/parameters.h"
#include "ha/vrrp.h"
#include "packet/arp.h"
#include "packet/module.h"
#include "packet/route.h"
#include "packet/translate.h"

uint16_t nat_cursor[GNAT_TYPES];

namespace {

// The outside address of the frame's family; false when the active nat
// outside network has none (or none is active).
bool outside_address(bool v6, uint8_t out[16])
{
    const NATOUTSIDE &o = cfg.natoutside;
    if (!network_enabled(o.network))
        return false;
    if (v6) {
        if (ipv6_is_zero(o.virt6))
            return false;
        memcpy(out, o.virt6, 16);
        return true;
    }
    if (ipv4_is_zero(o.virt))
        return false;
    ipv4_mapped(out, o.virt);
    return true;
}

// The association type of a frame: TCP and UDP, and ICMP echo of the one
// direction (`echo`: request outbound, reply inbound); 0 for anything else.
uint16_t gnat_type_of(const uint8_t *frame, const FRAMEINFO *fi, uint8_t echo4, uint8_t echo6)
{
    bool v6 = fi->ethertype == ETHTYPE_IPV6;
    switch (fi->proto) {
    case IPPROTO_TCP_:
        return v6 ? GNAT_TCP6 : GNAT_TCP4;
    case IPPROTO_UDP_:
        return v6 ? GNAT_UDP6 : GNAT_UDP4;
    case IPPROTO_ICMP_:
        if (!v6 && fi->l4 >= 0 && fi->l4len >= ICMP_HDRLEN && frame[fi->l4 + ICMP_TYPE] == echo4)
            return GNAT_ECH4;
        return 0;
    case IPPROTO_ICMPV6_:
        if (v6 && fi->l4 >= 0 && fi->l4len >= ICMP_HDRLEN && frame[fi->l4 + ICMP_TYPE] == echo6)
            return GNAT_ECH6;
        return 0;
    default:
        return 0;
    }
}

GNATKEY gnat_key(const uint8_t addr[16], uint16_t type, uint16_t port)
{
    GNATKEY k;
    memcpy(k.addr, addr, 16);
    k.type = type;
    k.port = port;
    return k;
}

// Outbound: an inside host's frame to its gateway's virtual MAC. 0 passes
// the frame on (not for translation), 1 consumed it.
int nat_outbound(int slot, int len, uint8_t *frame, FRAMEINFO *fi, const uint8_t src[16], const uint8_t outside[16])
{
    if (!vrrp_configured() || !mac_equal(frame + ETH_DST, cfg.vrrp.vmac))
        return 0;
    int n = arp_find_network(src);
    if (!valid_network(n) || cfg.networks[n].nat != NAT_INSIDE)
        return 0;
    uint16_t type = gnat_type_of(frame, fi, ICMP_ECHO, ICMP6_ECHO);
    uint16_t sport;
    // Other protocols, and fragments that carry no port, go on untranslated.
    if (type == 0 || !frame_nat_port(frame, fi, NATSIDE::SOURCE, &sport))
        return 0;
    GNATKEY left = gnat_key(src, type, sport);
    GNATPAIR p;
    if (!gnat_find_left(gnat_table, left, &p) &&
        !gnat_allocate_port(gnat_table, left, outside, type, &nat_cursor[type], &p))
        return 1;  // every outside port of this type is taken
    if (!translate_frame(frame, fi, NATSIDE::SOURCE, XLATE_ADDR | XLATE_PORT, p.right.addr, p.right.port, false))
        return 1;
    return route_frame(slot, len, frame, fi);
}

} // namespace

int nat_inbound(int slot, int len, uint8_t *frame, FRAMEINFO *fi)
{
    if (fi->l3 < 0 || (fi->ethertype != ETHTYPE_IPV4 && fi->ethertype != ETHTYPE_IPV6))
        return 0;
    uint8_t outside[16], dst[16];
    if (!outside_address(fi->ethertype == ETHTYPE_IPV6, outside))
        return 0;
    frame_addr16(frame, fi, NATSIDE::DEST, dst);
    if (memcmp(dst, outside, 16) != 0)
        return 0;
    uint16_t type = gnat_type_of(frame, fi, ICMP_ECHOREPLY, ICMP6_ECHOREPLY);
    uint16_t dport;
    if (type == 0 || !frame_nat_port(frame, fi, NATSIDE::DEST, &dport))
        return 1;
    GNATPAIR p;
    if (!gnat_find_right(gnat_table, gnat_key(outside, type, dport), &p))
        return 1;
    if (!translate_frame(frame, fi, NATSIDE::DEST, XLATE_ADDR | XLATE_PORT, p.left.addr, p.left.port, false))
        return 1;
    return route_frame(slot, len, frame, fi);
}

int mod_nat(int slot, int len, uint8_t *frame, FRAMEINFO *fi)
{
    if (param_value(P_IPFORWARDING) != 1 || !network_enabled(cfg.natoutside.network))
        return 0;
    if (fi->l3 < 0 || (fi->ethertype != ETHTYPE_IPV4 && fi->ethertype != ETHTYPE_IPV6) ||
        mac_is_multicast(frame + ETH_DST))
        return 0;
    uint8_t src[16], dst[16], outside[16];
    frame_addr16(frame, fi, NATSIDE::SOURCE, src);
    frame_addr16(frame, fi, NATSIDE::DEST, dst);
    arp_learn_sender(src, frame + ETH_SRC);
    if (!outside_address(fi->ethertype == ETHTYPE_IPV6, outside))
        return 0;
    if (memcmp(dst, outside, 16) == 0)
        return nat_inbound(slot, len, frame, fi);
    return nat_outbound(slot, len, frame, fi, src, outside);
}
