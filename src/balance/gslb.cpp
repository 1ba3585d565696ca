// GSLB names, until the DNS responder is built.
#include "balance/gslb.h"

void gslb_register_name(int)
{
    // No DNS responder in this build: there is nothing to register with.
}
