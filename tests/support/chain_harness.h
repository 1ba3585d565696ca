// The chain harness shared by the chain fuzz target and the replay of its
// corpus: the NAT router of the test wire (support/nat_wire.h: an inside
// network that is also the VRRP network, an outside network, a tnat rule,
// known hosts and associations), an IPv6 VIP and filter lists on top, and
// a run of one input frame through the default chain and through chains
// of the small modules.
#pragma once

#include <cstddef>
#include <cstdint>

// The harness chains, the default chain first.
constexpr int CHAIN_HARNESS_CHAINS = 4;
constexpr int CHAIN_HARNESS_DEFAULT = 0;

// Sets the configuration up; safe to call more than once. False when a
// configuration command was refused (reported on standard error).
bool chain_harness_init();
// Runs one frame (any bytes, any length) received on interface 1 through
// each harness chain on an exact-size copy. Returns the number of frames
// the chains sent, or -1 when a sent frame was shorter than an Ethernet
// header, or longer than both the input and the largest frame the daemon
// builds as an answer.
int chain_harness_run(const uint8_t *data, size_t size);
// The same through harness chain `chain` alone; what it sent stays in the
// wire's log (tw_sent) until the next run.
int chain_harness_run_chain(int chain, const uint8_t *data, size_t size);
