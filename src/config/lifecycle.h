// The object lifecycle: register, unregister, enable, disable, commit,
// edit, purge and softdisable for interfaces, networks, servers and
// targets, the one-step `interface <name>`, and the registry keys of
// servers and targets.
//
// An object is unregistered (configurable), registered (its registry keys
// claimed) or enabled (validated, announced, seen by the packet path).
// The command handlers themselves are declared in command/command_table.h.
#pragma once

#include <cstdint>
#include <cstdio>

#include "config/object_types.h"

// Registry keys of an object: address (IPv4-mapped for IPv4) and port in
// network byte order.
struct OBJKEY {
    uint8_t addr[16];
    uint16_t port;
};

// The keys a server occupies: (IPv4, port), (IPv4, second port), (IPv6,
// port), (IPv6, second port), each when its address (and second port) is
// set; none in GSLB mode `enable`. A second port equal to the port adds no
// second key. Returns the count (0..4).
int server_keys(const SERVER &s, OBJKEY keys[4]);
// The keys a target occupies: (IPv4, port) and (IPv6, port) when set.
int target_keys(const TARGET &t, OBJKEY keys[2]);

// `interface <name>`: takes the first free slot and runs `interface <n>
// name <name>`, `register interface <n>` and `enable interface <n>`.
// Nothing during a reload. Called by the interface command for two words.
int interface_oneword(int argc, char **argv, FILE *out);
