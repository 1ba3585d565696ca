// The IP location database: client address to location index.
#pragma once

#include <cstdint>

constexpr int LOCATION_NOTFOUND = 511;  // the pseudo location of addresses in no area

// Locates an IPv4 (4 bytes) or IPv6 (16 bytes) client address for load
// balancing: returns the location index 0..511 and counts the lookup on
// that location; LOCATION_NOTFOUND when no area or no location matches.
int ipdb_locate4(const uint8_t addr[4]);
int ipdb_locate6(const uint8_t addr[16]);

// The country code of location index l, or nullptr for the pseudo
// location, a free slot or an index outside 0..510.
const char *ipdb_location_code(int l);
