// GNATTABLE: the association table of the `nat` module. An association
// joins a left side (an inside host's address, type and port or echo
// identifier) with a right side (the outside address and the port given
// out for it); frames leaving are found by their left side, answers
// coming back by their right side.
//
// Two arrays of GNAT_BUCKETS chains (left and right), a list of all
// entries (newest first) with a scan cursor for the incremental expiry,
// a count and the table's reader/writer lock; entries come from a POOL.
//
// Time: an association unused for more than `nattimeout` seconds is
// expired. It is absent for lookups and its port is free for allocation
// from that moment, whether or not the expiry step has reached it yet, so
// a late answer never revives a stale mapping. Lookups return copies
// taken under the lock; no caller ever holds a pointer into the table.
#pragma once

#include <cstdint>

#include "config/pool.h"

constexpr int GNAT_BUCKETS = 30000;
constexpr int GNAT_CHUNK = 256;
constexpr uint16_t GNAT_PORT_FIRST = 20000;   // ports handed out: 20000..65535

// Association types.
enum GNATTYPE : uint16_t {
    GNAT_TCP4 = 1,
    GNAT_UDP4 = 2,
    GNAT_ECH4 = 3,   // ICMP echo, the identifier as port
    GNAT_TCP6 = 4,
    GNAT_UDP6 = 5,
    GNAT_ECH6 = 6,   // ICMPv6 echo
};
constexpr int GNAT_TYPES = 7;   // cursor array size (index = type)

// One side of an association.
struct GNATKEY {
    uint8_t addr[16];   // IPv4 as ::ffff:a.b.c.d
    uint16_t type;      // GNATTYPE
    uint16_t port;      // host order
};

// A copy of an association as lookups return it.
struct GNATPAIR {
    GNATKEY left;
    GNATKEY right;
    uint32_t last_used;    // uptime of the last use
    uint32_t last_sync;    // uptime of the last announcement to the peer
};

struct GNATTABLE;

extern GNATTABLE *gnat_table;   // the `nat` module's table, alive from program start

// A new empty table ("cannot malloc() GNATTABLE", exit 71).
GNATTABLE *gnat_create();
void gnat_free(GNATTABLE *t);
// Bucket of one side: the address bytes folded with *31, then the type,
// then (h*31 + port) mod 30000, in unsigned 32-bit arithmetic.
uint32_t gnat_bucket(const GNATKEY &k);
// "TCP4" ... "ECH6", " -- " for anything else.
const char *gnat_type_name(int type);

// The association of a left (or right) side that has not expired: copies
// it to *out, refreshes its last-used time and, when its last announcement
// is `natsynciv` seconds old, announces it to the peer. False when absent.
bool gnat_find_left(GNATTABLE *t, const GNATKEY &left, GNATPAIR *out);
bool gnat_find_right(GNATTABLE *t, const GNATKEY &right, GNATPAIR *out);
// Inserts left <-> right unless either side exists already (unexpired), in
// which case that association is the result (the left side's when both
// exist); announces a new one. *out gets a copy of the result.
void gnat_insert(GNATTABLE *t, const GNATKEY &left, const GNATKEY &right, GNATPAIR *out);
// Finds a free right port for `left` on right_addr/type, from *cursor (0
// means 20000, and so does any value below 20000) upwards, wrapping from
// 65535 to 20000, and inserts the pair; *cursor becomes the port after the
// one taken (20000 after 65535). When `left` has an association already,
// that is the result and *cursor stays. False, nothing inserted, when
// every port is taken.
bool gnat_allocate_port(GNATTABLE *t, const GNATKEY &left, const uint8_t right_addr[16], uint16_t type,
                        uint16_t *cursor, GNATPAIR *out);
// One expiry step: the entry under the scan cursor is removed when
// expired, and the cursor moves on (to the head at the end of the list).
void gnat_expire_step(GNATTABLE *t);
// Entries in the table (expired ones not yet swept included).
int gnat_count(GNATTABLE *t);
// Calls fn with a copy of every entry that has not expired, newest first,
// under the reader lock, until fn returns false. fn must not use the table.
void gnat_walk(GNATTABLE *t, bool (*fn)(const GNATPAIR &p, void *arg), void *arg);
// Removes every entry.
void gnat_clear(GNATTABLE *t);
