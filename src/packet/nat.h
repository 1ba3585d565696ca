// The `nat` module (mod_nat, declared in packet/module.h): address and
// port translation between the nat inside networks and the one nat
// outside network, whose virt address (virt6 for IPv6) is the outside
// address of every association.
//
// Outbound, a frame that an inside host sends to the VRRP virtual MAC (its
// gateway is the shared virtual address) leaves with the outside address
// and a port of the outside address's own (GNATTABLE, packet/gnat.h);
// inbound, a frame to the outside address is translated back to the
// inside host it belongs to, or dropped. Both then take the routing step.
#pragma once

#include <cstdint>

#include "packet/frame.h"
#include "packet/gnat.h"

// Where each association type's search for a free outside port starts
// next (index = GNATTYPE; 0 = at the first port). gnat_allocate_port
// moves them under the table's writer lock.
extern uint16_t nat_cursor[GNAT_TYPES];

// The inbound half, for the `nat` module and for the link load-balancing
// module: 0 when the frame is not addressed to the outside address (or no
// nat outside network is active); else 1, the frame consumed: translated
// back to the inside host of its association (TCP, UDP, ICMP or ICMPv6
// echo reply) and routed, or dropped when it has none or is anything else.
int nat_inbound(int slot, int len, uint8_t *frame, FRAMEINFO *fi);
