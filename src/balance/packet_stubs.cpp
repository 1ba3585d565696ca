// Balancing modules, until load balancing lands.
#include "packet/module.h"

int mod_slb(int, int, uint8_t *, FRAMEINFO *)
{
    return 0;  // server load balancing: passes every frame until it lands
}

int mod_llb(int, int, uint8_t *, FRAMEINFO *)
{
    return 0;  // link load balancing: passes every frame until it lands
}
