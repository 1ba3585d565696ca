// Session table synchronisation, master side: the announcements the
// tables make to the VRRP peer. Each sends one synchronisation frame when
// synchronisation of its kind is on, VRRP is configured, this node is
// master and the VRRP network has its real address; otherwise it does
// nothing. The tables call them with a copy of the entry, after releasing
// their lock.
#pragma once

struct GNATPAIR;
struct NATPAIR;

// One GNATTABLE association.
void sync_announce_gnat(const GNATPAIR &p);
// One NATTABLE entry; the copy names its table.
void sync_announce_nat(const NATPAIR &p);
