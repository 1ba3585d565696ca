// Routing and NAT modules and their per-second step, until routing lands.
#include "packet/module.h"
#include "packet/regular_callback.h"

int mod_nat(int, int, uint8_t *, FRAMEINFO *)
{
    return 0;  // NAT translation: passes every frame until routing lands
}

int mod_tnat(int, int, uint8_t *, FRAMEINFO *)
{
    return 0;  // target NAT: passes every frame until routing lands
}
