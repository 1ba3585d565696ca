// The chain harness shared by the chain fuzz target and the replay of its
// corpus: a small configuration (three wire interfaces, one network with
// own addresses, filter lists) and a run of one input frame through the
// default chain and through chains of the small modules.
#pragma once

#include <cstddef>
#include <cstdint>

// Sets the configuration up; safe to call more than once.
void chain_harness_init();
// Runs one frame (any bytes, any length) received on interface 1 through
// each harness chain on an exact-size copy. Returns the number of frames
// the chains sent, or -1 when a sent frame was shorter than an Ethernet
// header, or longer than both the input and the largest frame the daemon
// builds as an answer.
int chain_harness_run(const uint8_t *data, size_t size);
