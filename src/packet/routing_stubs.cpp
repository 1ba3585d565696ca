// Routing and NAT modules and their per-second step, until routing lands.
#include "packet/module.h"
#include "packet/regular_callback.h"

int mod_rt(int, int, uint8_t *, FRAMEINFO *)
{
    return 0;  // routing: passes every frame until routing lands
}

// The output step consumes every frame; without routing it can only drop.
int mod_out(int, int, uint8_t *, FRAMEINFO *)
{
    return 1;
}
