// Fixture of the NAT module tests: on the test wire, an inside network
// (network 1, nat inside, interface 1, also the VRRP network) with a host,
// and an outside network (network 2, nat outside, interface 2) with a
// server; VRRP configured (vrid 7) so the shared virt addresses carry the
// virtual MAC, and `ipforwarding` 1. The server's address is resolved and
// both MACs are learnt on their interfaces; the host's address is not in
// the ARP table until a module enters it.
#pragma once

#include <cstring>

#include "config/addr.h"
#include "config/config_state.h"
#include "config/parameters.h"
#include "daemon/daemon.h"
#include "packet/arp.h"
#include "packet/gnat.h"
#include "packet/nat.h"
#include "packet/tnat.h"
#include "packet_fixture.h"

inline const char *const VMAC = "00:00:5e:00:01:07";
inline const char *const HOST_MAC = "02:00:00:00:10:10";
inline const char *const SERVER_MAC = "02:00:00:00:20:20";
inline const char *const HOST4 = "198.51.100.10";
inline const char *const HOST6 = "2001:db8:1::10";
inline const char *const SERVER4 = "203.0.113.10";
inline const char *const SERVER6 = "2001:db8:2::10";
inline const char *const OUTSIDE4 = "203.0.113.1";   // network 2's virt: the outside address
inline const char *const OUTSIDE6 = "2001:db8:2::1";

// A 16-byte key of an address in text (IPv4 mapped).
inline void key_of(const char *text, uint8_t out[16])
{
    memcpy(out, ip16_bytes(text).data(), 16);
}

class NatTest : public PacketTest {
protected:
    void SetUp() override
    {
        PacketTest::SetUp();
        set_uptime(1000);
        gnat_clear(gnat_table);
        memset(nat_cursor, 0, sizeof nat_cursor);
        tnat_clear();
        mh_clear(ownmac_table);
        params[P_IPFORWARDING].current = 1;

        cfg.vrrp.vrid = 7;
        cfg.vrrp.priority = 100;
        cfg.vrrp.network = 1;
        cfg.vrrp.vmac[5] = 7;
        network(1, "198.51.100.0", "198.51.100.2", "198.51.100.1", "2001:db8:1::2", "2001:db8:1::1", NAT_INSIDE);
        network(2, "203.0.113.0", "203.0.113.2", OUTSIDE4, "2001:db8:2::2", OUTSIDE6, NAT_OUTSIDE);
        cfg.natoutside.network = 2;
        parse_ipv4(OUTSIDE4, cfg.natoutside.virt);
        parse_ipv6(OUTSIDE6, cfg.natoutside.virt6);

        neighbour(SERVER4, SERVER_MAC, 2);
        neighbour(SERVER6, SERVER_MAC, 2);
        mh_insert(mac_table, mac_bytes(SERVER_MAC).data(), 2);
        mh_insert(mac_table, mac_bytes(HOST_MAC).data(), 1);
        tw_clear();
    }

    void TearDown() override
    {
        tnat_clear();
        gnat_clear(gnat_table);
        PacketTest::TearDown();
    }

    // Network n on interface n, enabled, its virt addresses on the virtual MAC.
    static void network(int n, const char *addr, const char *real, const char *virt, const char *real6,
                        const char *virt6, int nat)
    {
        NETWORK &net = cfg.networks[n];
        net.registered = net.enabled = 1;
        parse_ipv4(addr, net.addr);
        parse_ipv4("255.255.255.0", net.mask);
        parse_ipv4(real, net.real);
        parse_ipv4(virt, net.virt);
        own_mac_of(net.realmac, net.real);
        memcpy(net.virtmac, cfg.vrrp.vmac, 6);
        net.mask6 = 64;
        parse_ipv6(real6, net.real6);
        parse_ipv6(virt6, net.virt6);
        net.nat = nat;
        net.member[n] = 1;
        cfg.registered_networks++;
        cfg.enabled_networks++;
    }

    // A resolved neighbour of network n.
    static void neighbour(const char *ip, const char *mac, int n)
    {
        uint8_t k[16];
        key_of(ip, k);
        arp_make_entry(k, mac_bytes(mac).data(), 0, 0, 1, n, 0, nullptr);
    }

    // The one frame sent on `slot` since the last tw_clear, or an empty
    // frame when there is not exactly one frame on the whole wire.
    static Frame only_sent(int slot)
    {
        if (tw_sent_count() != 1 || tw_sent_count_slot(slot) != 1)
            return Frame();
        const TWFRAME *f = tw_sent_slot(slot, 0);
        return Frame(f->data, f->data + f->len);
    }
};
