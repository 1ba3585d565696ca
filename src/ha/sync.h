// Session table synchronisation, master side: the announcements the
// tables make to the VRRP peer. Each sends one synchronisation frame when
// synchronisation of its kind is on, VRRP is configured, this node is
// master and the VRRP network has its real address; otherwise it does
// nothing. The NAT tables call them with a copy of the entry, after
// releasing their lock.
#pragma once

#include <cstdint>

struct GNATPAIR;
struct NATPAIR;

// One session of the session table (id, server, target, timeout), sent in
// a session update frame. The session table calls it with its lock held
// (the packet path keeps the writer lock across lookup and refresh), so
// the sender never takes that lock.
void sync_announce_session(const char *id, int server, int target, uint32_t timeout);
// One GNATTABLE association.
void sync_announce_gnat(const GNATPAIR &p);
// One NATTABLE entry; the copy names its table.
void sync_announce_nat(const NATPAIR &p);
