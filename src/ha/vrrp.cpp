// VRRP between two balancers.
#include "ha/vrrp.h"

void vrrp_resign_if_master()
{
    // Not a VRRP node yet: there is no mastership to hand over.
}

void vrrp_setup_addresses()
{
    // The virtual MAC is derived from the vrid when VRRP is configured.
}
