// One side of a GNAT association from its text form, for table rows.
#pragma once

#include <cstring>

#include "packet/gnat.h"
#include "support/frames.h"

inline GNATKEY gnat_side(const char *ip, uint16_t type, uint16_t port)
{
    GNATKEY k = {};
    memcpy(k.addr, ip16_bytes(ip).data(), 16);
    k.type = type;
    k.port = port;
    return k;
}
