// AGELIST: the list of all entries that the NAT tables (GNATTABLE,
// NATTABLE) and the integer sets keep beside their hash chains: newest at
// the head, oldest at the tail, with the scan cursor of the incremental
// expiry. Entries embed an AGELINK; the table turns a link back into its
// entry with offsetof.
//
// Also here: the two questions every NAT table asks of an entry's time
// stamps, "has it expired" and "refresh it, and is an announcement to the
// VRRP peer due".
//
// Nothing here locks: the owning table calls the list functions under its
// writer lock. age_refresh alone is made for the reader lock (atomic
// accesses only).
#pragma once

#include <atomic>
#include <cstdint>

struct AGELINK {
    AGELINK *prev;   // newer neighbour; nullptr at the head
    AGELINK *next;   // older neighbour; nullptr at the tail
};

struct AGELIST {
    AGELINK *head;     // newest entry
    AGELINK *tail;     // oldest entry
    AGELINK *cursor;   // the entry the next expiry step looks at; nullptr = the head
};

// Links an entry in at the head.
void al_push(AGELIST *l, AGELINK *e);
// Unlinks an entry; a cursor on it moves to the next older entry.
void al_unlink(AGELIST *l, AGELINK *e);
// The entry under the cursor (the head when the cursor is at the end),
// with the cursor moved on to the next older one; nullptr when the list is
// empty. The caller may unlink the returned entry.
AGELINK *al_step(AGELIST *l);
// Forgets every entry (the table discards them itself).
inline void al_reset(AGELIST *l) { *l = AGELIST{}; }

// A time stamp read or written while other threads may refresh it under
// the reader lock.
inline uint32_t
age_load(const uint32_t &stamp)
{
    return std::atomic_ref<uint32_t>(const_cast<uint32_t &>(stamp)).load(std::memory_order_relaxed);
}

// Last used more than `timeout` seconds before `now`. A stamp a little
// ahead of `now` (a thread that read the clock after this one) is fresh,
// not "4 billion seconds old".
inline bool
age_stale(uint32_t last_used, uint32_t now, uint32_t timeout)
{
    return now > last_used && now - last_used > timeout;
}

// The hit path of a lookup, under the table's reader lock: stores `now`
// as last used when it differs (so a busy entry's cache line is written
// once a second, not once a frame), and claims the announcement when the
// last one is at least `synciv` seconds old. True for the one caller that
// claimed it, which then announces the entry.
inline bool
age_refresh(uint32_t &last_used, uint32_t &last_sync, uint32_t now, uint32_t synciv)
{
    std::atomic_ref<uint32_t> used(last_used);
    if (used.load(std::memory_order_relaxed) != now)
        used.store(now, std::memory_order_relaxed);
    std::atomic_ref<uint32_t> sync(last_sync);
    uint32_t was = sync.load(std::memory_order_relaxed);
    if ((int32_t)(now - was) < (int32_t)synciv)
        return false;  // announced lately, or by a thread that read a later clock
    return sync.compare_exchange_strong(was, now, std::memory_order_relaxed);
}
