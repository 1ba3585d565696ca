// Packet modules: every received frame is offered to the modules of the
// chain in order. A handler takes (interface slot, frame length, frame in
// the reader's buffer, changeable in place) and returns 1 when it consumed
// the frame (sent or dropped it) or 0 to pass it on.
#pragma once

#include <cstdint>

using MODHANDLER = int (*)(int slot, int len, uint8_t *frame);

// The ARP and neighbour discovery module (packet/arp.cpp).
int mod_arp(int slot, int len, uint8_t *frame);
