// The configuration check: looks at the configuration as a whole, reports
// combinations that load but cannot work together, and computes the
// derived values others read afterwards (the networks of servers and
// targets, the server referencing each target, the proxy-in-use flag and
// the session-group lists).
#pragma once

#include <cstdint>
#include <cstdio>

// Runs the check, printing each finding as "  ERROR: WARNING: ..." on out
// (and logging it while a file loads). Changes no setting; always returns 1.
// Called by `check`, after `enable server` / `enable network`, and at the
// end of every start-up load.
int config_check(FILE *out);

// The enabled network an IPv4 address belongs to: the network bound to the
// address's ARP entry when that network is enabled, else the first enabled
// network whose addr AND mask equals the address AND mask; 0 for none.
int check_network4(const uint8_t addr[4]);
// The same for IPv6: the neighbour entry's network when enabled, else the
// first enabled network with a prefix length whose real6 shares the
// address's first mask6 bits; 0 for none.
int check_network6(const uint8_t addr[16]);
