// The routing step and the two modules that run it: `rt`, the router at
// the end of the default chain, and `out`, the step as a module of its own.
//
// The step forwards at layer 2 only: it finds the next hop (the
// destination itself on one of the daemon's networks, else the gateway),
// writes the next hop's MAC and the network's own MAC into the Ethernet
// header and sends the frame on the interface where the next hop's MAC was
// learnt. The IP header is left exactly as it came (no TTL or checksum
// change). On the common path, a resolved next hop, every question is
// answered from the reader's per-thread caches (ARP table, MAC table,
// own-MAC table) and the frame is counted on the reader's own counters,
// so no lock is taken and no shared word written.
#include "packet/route.h"

#include <cstring>

#include "config/addr.h"
#include "config/config_state.h"
#include "config/networks.h"
#include "config/parameters.h"
#include "packet/arp.h"
#include "packet/arphash.h"
#include "packet/interface_io.h"
#include "packet/machash.h"
#include "packet/module.h"

namespace {

// The destination address of an IP frame as a 16-byte key (IPv4 mapped);
// false for anything else. An IPv6 packet to an IPv4-mapped address names
// no IPv6 host and is not routed as IPv4 either.
bool destination_key(const uint8_t *frame, const FRAMEINFO *fi, uint8_t key[16], bool *ip6)
{
    if (fi->l3 < 0)
        return false;
    if (fi->ethertype == ETHTYPE_IPV4) {
        ipv4_mapped(key, frame + fi->l3 + IP4_DST);
        *ip6 = false;
        return true;
    }
    if (fi->ethertype == ETHTYPE_IPV6) {
        memcpy(key, frame + fi->l3 + IP6_DST, 16);
        *ip6 = true;
        return !is_ipv4_mapped(key);
    }
    return false;
}

// The gateway's entry for the family in *hop and its network in *n; false
// when no gateway of that family is declared or it has no entry.
bool gateway_hop(bool ip6, int *n, AHHOP *hop)
{
    const GATEWAY &gw = cfg.gateway;
    if (!gw.configured || !(ip6 ? gw.active6 : gw.active4))
        return false;
    uint8_t key[16];
    if (ip6)
        memcpy(key, gw.ipaddr6, 16);
    else
        ipv4_mapped(key, gw.ipaddr);
    *n = arp_find_network(key);
    return ah_resolve(arp_table, key, hop);
}

// The step itself; `from` replaces the network's MAC as source when set.
int route(int len, uint8_t *frame, const FRAMEINFO *fi, const uint8_t *from)
{
    if (len < ETH_HDRLEN || mac_is_multicast(frame + ETH_DST))
        return 1;
    uint8_t key[16];
    bool ip6;
    if (!destination_key(frame, fi, key, &ip6))
        return 1;

    uint8_t smac[6];
    AHHOP hop;
    bool found;
    int n = arp_find_network_hop(key, &hop, &found);
    if (n != 0) {
        // Direct delivery on one of the daemon's networks.
        if (!network_mac(smac, n, ip6))
            return 1;
        if (!found || mac_is_zero(hop.mac)) {
            arp_route_unresolved(key, n);
            return 1;
        }
    } else {
        if (!gateway_hop(ip6, &n, &hop) || !network_mac(smac, n, ip6))
            return 1;
    }

    // A frame for one of the daemon's own addresses that no module took
    // is not sent back out, whatever interface its MAC shows up on.
    if (hop.vip)
        return 1;
    // An unresolved gateway's zero MAC is learnt on no interface.
    int out = mh_interface_of(mac_table, hop.mac);
    if (out < 0)
        return 1;
    memcpy(frame + ETH_DST, hop.mac, 6);
    memcpy(frame + ETH_SRC, from != nullptr ? from : smac, 6);
    interface_send(out, frame, len);
    return 1;
}

} // namespace

int route_frame(int, int len, uint8_t *frame, const FRAMEINFO *fi)
{
    return route(len, frame, fi, nullptr);
}

int route_frame_from(int, int len, uint8_t *frame, const FRAMEINFO *fi, const uint8_t smac[6])
{
    return route(len, frame, fi, smac);
}

// The router. It takes only frames addressed to one of the daemon's own
// MACs: on a shared segment the raw sockets also see unicast frames
// between other stations, and routing those would put a second copy of
// each on the wire. A frame it routes is consumed (sent or dropped), so no
// later module handles a frame already on its way.
int mod_rt(int slot, int len, uint8_t *frame, FRAMEINFO *fi)
{
    if (param_value(P_IPFORWARDING) != 1 || len < ETH_HDRLEN || !arp_is_own_mac(frame + ETH_DST))
        return 0;
    return route_frame(slot, len, frame, fi);
}

// The routing step without the `ipforwarding` condition: every frame is
// consumed.
int mod_out(int slot, int len, uint8_t *frame, FRAMEINFO *fi)
{
    return route_frame(slot, len, frame, fi);
}
