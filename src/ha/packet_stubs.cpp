// The VRRP module and the HA steps of the once-a-second callback, until
// VRRP and synchronisation land, and the announcements of the tables.
#include "ha/sync.h"
#include "packet/module.h"
#include "packet/regular_callback.h"

int mod_vrrp(int, int, uint8_t *, FRAMEINFO *)
{
    return 0;  // VRRP advertisements: passes every frame until VRRP lands
}

void vrrp_callback()
{
    // VRRP timer step: belongs to VRRP.
}

void sync_second()
{
    // Acknowledged synchronisation step: belongs to session synchronisation.
}

void sync_announce_session(const char *, int, int, uint32_t)
{
    // Session announcement: belongs to session synchronisation.
}

void sync_announce_gnat(const GNATPAIR &)
{
    // GNAT announcement: belongs to session synchronisation.
}

void sync_announce_nat(const NATPAIR &)
{
    // NAT entry announcement: belongs to session synchronisation.
}
