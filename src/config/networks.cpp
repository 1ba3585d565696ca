// The containment rule of networks and the MACs the daemon uses in them.
#include "config/networks.h"

#include <cstring>

#include "command/process.h"
#include "config/addr.h"
#include "config/config_state.h"
#include "packet/frame.h"

static bool contains4(const NETWORK &net, const uint8_t ip4[4])
{
    if (ipv4_is_zero(net.addr))
        return false;
    for (int k = 0; k < 4; k++)
        if ((net.addr[k] & net.mask[k]) != (ip4[k] & net.mask[k]))
            return false;
    return true;
}

static bool contains6(const NETWORK &net, const uint8_t ip6[16])
{
    return net.mask6 >= 1 && net.mask6 <= 128 && bitwise_memcmp(net.real6, ip6, net.mask6) == 1;
}

int network_containing(const uint8_t addr[16])
{
    bool v4 = is_ipv4_mapped(addr);
    for (int n = 1; n <= MAXNETWORK; n++) {
        const NETWORK &net = cfg.networks[n];
        if (net.enabled && (v4 ? contains4(net, addr + 12) : contains6(net, addr)))
            return n;
    }
    return 0;
}

void network_real_mac(uint8_t mac[6], int n)
{
    const NETWORK &net = cfg.networks[n];
    if (!mac_is_zero(net.realmac))
        memcpy(mac, net.realmac, 6);
    else
        own_mac_of(mac, net.real);
}

bool network_mac(uint8_t mac[6], int n, bool ip6)
{
    if (!valid_network(n))
        return false;
    const NETWORK &net = cfg.networks[n];
    if (ip6) {
        if (!ipv6_is_zero(net.virt6))
            memcpy(mac, cfg.vrrp.vmac, 6);
        else if (!ipv6_is_zero(net.real6))
            memcpy(mac, dmn.own_hwaddr, 6);
        else
            return false;
        return true;
    }
    if (!ipv4_is_zero(net.virt)) {
        if (!mac_is_zero(net.virtmac))
            memcpy(mac, net.virtmac, 6);
        else
            own_mac_of(mac, net.virt);
        return true;
    }
    if (ipv4_is_zero(net.real))
        return false;
    network_real_mac(mac, n);
    return true;
}
