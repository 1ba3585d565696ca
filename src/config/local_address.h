// The local-address test: is an IPv4 address configured on the host, in
// the daemon's network namespace? `enable network` refuses a real or virt
// address that the host itself uses, and `enable server` a server address,
// because the host's own stack would answer for it too.
#pragma once

#include <cstdint>

// The test in force; tests point it at a fake. Returns true when the four
// address bytes are configured on a host interface.
extern bool (*local_address_test)(const uint8_t ip4[4]);

// The real test through getifaddrs(). When the address list cannot be read
// the address counts as configured, so that an address is never taken over
// on a host whose state is unknown.
bool local_address_configured(const uint8_t ip4[4]);
