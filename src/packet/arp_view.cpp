// The address-table lookups of the small modules, answered from the ARP
// table and the learned MAC table (packet/arphash.h, packet/machash.h).
#include "packet/arp_view.h"

#include <cstring>

#include "packet/arp.h"
#include "packet/arphash.h"
#include "packet/machash.h"

bool arp_view_lookup(const uint8_t addr[16], ARPVIEW *out)
{
    AHENTRY *e = ah_lookup(arp_table, addr);
    if (e == nullptr)
        return false;
    memcpy(out->mac, e->mac, 6);
    out->vip = e->vip;
    out->network = e->network;
    return true;
}

void mac_learn(const uint8_t mac[6], int slot)
{
    mh_learn(mac_table, mac, (uint32_t)slot);
}

int mac_interface(const uint8_t mac[6])
{
    return mh_interface_of(mac_table, mac);
}

bool arp_view_insert(const uint8_t addr[16], const uint8_t mac[6], int vip, int network)
{
    arp_make_entry(addr, mac, vip, 0, 1, network, 0, nullptr);
    return true;
}

void arp_view_clear()
{
    ah_clear(arp_table);
}

void mac_view_clear()
{
    mh_clear(mac_table);
}
