// A NAT router on the test wire, set up the way a configuration file sets
// it up, for the chain harness and the benchmarks of the translation path.
//
// Three wire interfaces. Network 1 (192.0.2.0/24, 2001:db8::/64, real
// 192.0.2.10 / 2001:db8::a, virt 192.0.2.100 / 2001:db8::64, interfaces 1
// and 2) is nat inside and the VRRP network (vrid 7, priority 100, so the
// virtual MAC is 00:00:5e:00:01:07); network 2 (203.0.113.0/24,
// 2001:db8:2::/64, virt 203.0.113.1 / 2001:db8:2::1, interface 3) is nat
// outside, its virt addresses the outside address. `ipforwarding` is 1.
// An inside host and a tnat target are resolved and learnt on interface
// 1, a server outside on interface 3; one tnat rule gives the target an
// outside address of its own for TCP; the host has a TCP association and
// an echo association, both on outside port 20000. The clock is pinned so
// that nothing ages.
//
// Beside the NAT, a balanced service: server 1 on 203.0.113.80 and
// 2001:db8:2::80 port 80 (session identifier src+port, rr) in network 2,
// with targets 1 and 2 (192.0.2.61 / 2001:db8::61 and 192.0.2.62 /
// 2001:db8::62, port 8080, identifier dst+port) in network 1, resolved,
// learnt on interface 2 and operational; a client of the outside network,
// 203.0.113.20 / 2001:db8:2::20, resolved and learnt on interface 3.
#pragma once

#include <cstdint>

inline const char *const NW_VMAC = "00:00:5e:00:01:07";
inline const char *const NW_HOST_MAC = "02:00:00:00:00:32";
inline const char *const NW_HOST4 = "192.0.2.50";
inline const char *const NW_HOST6 = "2001:db8::32";
inline const char *const NW_SERVER_MAC = "02:00:00:00:20:20";
inline const char *const NW_SERVER4 = "203.0.113.10";
inline const char *const NW_SERVER6 = "2001:db8:2::10";
inline const char *const NW_OUTSIDE4 = "203.0.113.1";
inline const char *const NW_OUTSIDE6 = "2001:db8:2::1";
inline const char *const NW_TARGET_MAC = "02:00:00:00:00:3c";
inline const char *const NW_TARGET4 = "192.0.2.60";
inline const char *const NW_TNAT4 = "203.0.113.50";   // the target's outside address
inline const char *const NW_VIP4 = "203.0.113.80";     // server 1
inline const char *const NW_VIP6 = "2001:db8:2::80";
inline const char *const NW_CLIENT_MAC = "02:00:00:00:00:14";
inline const char *const NW_CLIENT4 = "203.0.113.20";
inline const char *const NW_CLIENT6 = "2001:db8:2::20";
inline const char *const NW_T1_MAC = "02:00:00:00:00:3d";
inline const char *const NW_T1_4 = "192.0.2.61";          // target 1
inline const char *const NW_T1_6 = "2001:db8::61";
inline const char *const NW_T2_MAC = "02:00:00:00:00:3e";
inline const char *const NW_T2_4 = "192.0.2.62";          // target 2
inline const char *const NW_T2_6 = "2001:db8::62";
constexpr uint16_t NW_VIP_PORT = 80;
constexpr uint16_t NW_TARGET_PORT = 8080;
constexpr uint16_t NW_HOST_PORT = 40000;   // the host's side of the TCP association
constexpr uint16_t NW_ECHO_ID = 0x1234;    // the host's side of the echo association
constexpr uint16_t NW_OUTSIDE_PORT = 20000;   // the outside side of both

// Resets the daemon's state and sets the router up (see above); the module
// chain is not touched. False, with the failing command and its output on
// standard error, when a configuration command is refused.
bool nat_wire_init();
