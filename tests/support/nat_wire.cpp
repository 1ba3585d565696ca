// The NAT router on the test wire (see nat_wire.h): configuration commands,
// then the neighbours and associations a running router would have learnt.
#include "support/nat_wire.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "balance/slb.h"
#include "command/process.h"
#include "config/config_state.h"
#include "packet/arp.h"
#include "packet/arphash.h"
#include "packet/filter_lists.h"
#include "packet/gnat.h"
#include "packet/machash.h"
#include "packet/nat.h"
#include "packet/test_wire.h"
#include "packet/tnat.h"
#include "support/frames.h"
#include "support/gnat_keys.h"
#include "support/support.h"

namespace {

// The configuration as a file would give it: VRRP before the networks, so
// their virt addresses take the virtual MAC and IPv6 is allowed.
const char *const NAT_WIRE_CONFIG[] = {
    "set ipforwarding 1",
    "vrrp vrid 7",
    "vrrp priority 100",
    "vrrp network 1",
    "network 1 addr 192.0.2.0",
    "network 1 mask 255.255.255.0",
    "network 1 real 192.0.2.10",
    "network 1 virt 192.0.2.100",
    "network 1 mask6 64",
    "network 1 real6 2001:db8::a",
    "network 1 virt6 2001:db8::64",
    "network 1 nat inside",
    "network 1 interfaces 1,2",
    "network 2 addr 203.0.113.0",
    "network 2 mask 255.255.255.0",
    "network 2 real 203.0.113.2",
    "network 2 virt 203.0.113.1",
    "network 2 mask6 64",
    "network 2 real6 2001:db8:2::2",
    "network 2 virt6 2001:db8:2::1",
    "network 2 nat outside",
    "network 2 interfaces 3",
    "commit network 1,2",
    "tnat 192.0.2.60 203.0.113.50 tcp any",
    "server 1 ipaddr 203.0.113.80",
    "server 1 ipaddr6 2001:db8:2::80",
    "server 1 port 80",
    "server 1 sessionid src+port",
    "server 1 targets 1,2",
    "target 1 ipaddr 192.0.2.61",
    "target 1 ipaddr6 2001:db8::61",
    "target 1 port 8080",
    "target 1 sessionid dst+port",
    "target 2 ipaddr 192.0.2.62",
    "target 2 ipaddr6 2001:db8::62",
    "target 2 port 8080",
    "target 2 sessionid dst+port",
    "commit target 1,2",
    "commit server 1",
    "check",
};

// A resolved neighbour of network n whose MAC was learnt on interface slot.
void neighbour(const char *ip, const char *mac, int n, int slot)
{
    arp_make_entry(ip16_bytes(ip).data(), mac_bytes(mac).data(), 0, 0, 0, n, 0, nullptr);
    mh_insert(mac_table, mac_bytes(mac).data(), (uint32_t)slot);
}

} // namespace

bool nat_wire_init()
{
    kvn_test_reset();
    tw_detach_all();
    ah_clear(arp_table);
    mh_clear(mac_table);
    mh_clear(ownmac_table);
    gnat_clear(gnat_table);
    memset(nat_cursor, 0, sizeof nat_cursor);
    memset(slb_proxy_cursor, 0, sizeof slb_proxy_cursor);
    tnat_clear();
    for (int l = 0; l < FL_COUNT; l++)
        fl_clear(l);
    set_uptime(1000);
    const char *const macs[] = {"02:00:00:00:01:01", "02:00:00:00:02:02", "02:00:00:00:03:03"};
    for (int s = 1; s <= 3; s++) {
        std::string name = "eth" + std::to_string(s);
        if (!tw_attach(s, name.c_str(), mac_bytes(macs[s - 1]).data())) {
            fprintf(stderr, "nat wire: cannot attach interface %d\n", s);
            return false;
        }
    }
    for (const char *line : NAT_WIRE_CONFIG) {
        int r = 0;
        std::string out = run_line(line, &r);
        if (r != 1) {
            fprintf(stderr, "nat wire: \"%s\" refused: %s\n", line, out.c_str());
            return false;
        }
    }
    neighbour(NW_HOST4, NW_HOST_MAC, 1, 1);
    neighbour(NW_HOST6, NW_HOST_MAC, 1, 1);
    neighbour(NW_TARGET4, NW_TARGET_MAC, 1, 1);
    neighbour(NW_SERVER4, NW_SERVER_MAC, 2, 3);
    neighbour(NW_SERVER6, NW_SERVER_MAC, 2, 3);
    neighbour(NW_CLIENT4, NW_CLIENT_MAC, 2, 3);
    neighbour(NW_CLIENT6, NW_CLIENT_MAC, 2, 3);
    neighbour(NW_T1_4, NW_T1_MAC, 1, 2);
    neighbour(NW_T1_6, NW_T1_MAC, 1, 2);
    neighbour(NW_T2_4, NW_T2_MAC, 1, 2);
    neighbour(NW_T2_6, NW_T2_MAC, 1, 2);
    // What the health evaluation finds of targets whose checks pass.
    cfg.targets[1].operational = 1;
    cfg.targets[2].operational = 1;
    GNATPAIR p;
    gnat_insert(gnat_table, gnat_side(NW_HOST4, GNAT_TCP4, NW_HOST_PORT),
                gnat_side(NW_OUTSIDE4, GNAT_TCP4, NW_OUTSIDE_PORT), &p);
    gnat_insert(gnat_table, gnat_side(NW_HOST4, GNAT_ECH4, NW_ECHO_ID), gnat_side(NW_OUTSIDE4, GNAT_ECH4, NW_OUTSIDE_PORT),
                &p);
    tw_clear();
    return true;
}
