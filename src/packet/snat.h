// The SNAT address pool: the addresses of the range set by "snatrange"
// that the balancer gives out as source addresses, and the associations
// between a left address and the pool address standing in for it.
//
// The pool holds the range [start, end), the next address never given
// out, and three integer sets (packet/iset.h): addresses given back and
// ready for re-use (first in, first out), left-to-right associations (key
// the left address, value the pool address) and right-to-left
// associations (the reverse). It is active while a range is set.
//
// Addresses are IPv4 addresses as 32-bit numbers, a.b.c.d being
// a<<24 | b<<16 | c<<8 | d, so that a range is an interval of numbers.
//
// Time: an association is in use while either of its two directions was
// used within `snattimeout` seconds. Once a second (snat_expire, from
// regular_callback) associations unused in both directions for longer are
// dropped from both sets and their pool address goes to the re-use set.
//
// Locking: packet threads and commands share the pool; every function
// takes the pool's own mutex, which guards all of it (so the three sets
// always change together).
#pragma once

#include <cstdint>
#include <cstdio>

// A range is set.
bool snat_active();
// A pool address: the oldest one given back, else the next never used
// while it plus one is below the range end; otherwise logs "out of SNAT
// addresses" (level 6) and returns 0. 0 also when the pool is inactive.
uint32_t snat_allocate();
// Gives a pool address back: its associations end and it goes to the
// re-use set. Addresses outside the range are ignored.
void snat_release(uint32_t addr);
// Records left <-> right in both directions (a direction already recorded
// for its key is only touched).
void snat_associate(uint32_t left, uint32_t right);
// The pool address associated with a left address (or the left address of
// a pool address), touching that direction; 0 when none.
uint32_t snat_lookup_left(uint32_t left);
uint32_t snat_lookup_right(uint32_t right);
// Drops the associations unused for `snattimeout` seconds in both
// directions; once a second.
void snat_expire();

// Sets the range [from, to) with empty sets, the next never-used address
// being `from`. An invalid range (from not below to, or either 0) clears
// the pool and returns false.
bool snat_set_range(uint32_t from, uint32_t to);
// Clears the range and discards the sets.
void snat_clear();
