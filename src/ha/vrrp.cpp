// VRRP between two balancers.
#include "ha/vrrp.h"

void vrrp_resign_if_master()
{
    // Not a VRRP node yet: there is no mastership to hand over.
}
