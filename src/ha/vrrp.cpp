// VRRP between two balancers: the state questions and, until the state
// machine and the advertisements are built, entry points that leave the
// node in INITIALIZE.
#include "ha/vrrp.h"

#include "config/config_state.h"

bool vrrp_is_master()
{
    return cfg.vrrp.state == VRRP_MASTER;
}

int vrrp_effective_priority()
{
    return cfg.vrrp.priority;
}

void vrrp_startup()
{
    // The state machine is not built yet: the node stays in INITIALIZE,
    // answers for the shared addresses with the MACs they were given and
    // sends no advertisements.
}

void vrrp_shutdown()
{
    // Nothing was started, so there is nothing to stop.
}

void vrrp_resign_if_master()
{
    // Not a VRRP node yet: there is no mastership to hand over.
}

void vrrp_setup_addresses()
{
    // The virtual MAC is derived from the vrid when VRRP is configured.
}
