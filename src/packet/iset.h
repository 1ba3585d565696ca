// Integer set: 32-bit keys, each with a 32-bit value and the uptime of
// its last touch, the sets behind the SNAT address pool (packet/snat.h).
//
// 30000 chains keyed by key modulo 30000 (entries from the set's POOL) and
// a list in insertion order, newest at the head and oldest at the tail.
// Touching a key renews its time but not its place: the oldest key is the
// one inserted first, which makes a set a first-in first-out queue.
//
// A set takes no lock of its own. Its owner changes several sets in one
// step and serialises all of them with one lock of its own, so the lock
// that comes with the pool shell stays unused.
#pragma once

#include <cstdint>

constexpr int ISET_BUCKETS = 30000;
constexpr int ISET_CHUNK = 256;

struct ISET;

// A new empty set ("cannot malloc() iset_create()", exit 71).
ISET *iset_create();
// Discards a set; nullptr is ignored.
void iset_free(ISET *s);
// Inserts key with value; a key already present is only touched (its
// value stays). "cannot malloc() iset_insert()", exit 71, when no entry
// can be had.
void iset_insert(ISET *s, uint32_t key, uint32_t value);
// Removes the key; false when absent.
bool iset_remove(ISET *s, uint32_t key);
// Renews the key's touch time; false when absent.
bool iset_touch(ISET *s, uint32_t key);
// The key's value, touching it; 0 when absent.
uint32_t iset_value(ISET *s, uint32_t key);
// The key's value and touch time without touching it; false when absent.
bool iset_peek(const ISET *s, uint32_t key, uint32_t *value, uint32_t *touched);
// The key inserted first; false when the set is empty.
bool iset_oldest(const ISET *s, uint32_t *key);
int iset_count(const ISET *s);
// Calls fn for every entry, newest first, until fn returns false. fn must
// not change the set.
void iset_walk(const ISET *s, bool (*fn)(uint32_t key, uint32_t value, uint32_t touched, void *arg), void *arg);
// Calls drop for every entry, oldest first, and removes the entries for
// which it returns true; returns how many were removed. drop must not
// change this set (it may change others).
int iset_scan(ISET *s, bool (*drop)(uint32_t key, uint32_t value, uint32_t touched, void *arg), void *arg);
