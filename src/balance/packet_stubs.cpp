// Balancing modules and the session-table step of the once-a-second
// callback, until load balancing lands.
#include "packet/module.h"
#include "packet/regular_callback.h"

int mod_slb(int, int, uint8_t *, FRAMEINFO *)
{
    return 0;  // server load balancing: passes every frame until it lands
}

int mod_llb(int, int, uint8_t *, FRAMEINFO *)
{
    return 0;  // link load balancing: passes every frame until it lands
}

void st_scan_expired()
{
    // Session table expiry scan: belongs to the session table.
}
