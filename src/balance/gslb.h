// Servers in GSLB mode, answered by the DNS responder.
#pragma once

// Registers server n's name with the DNS responder; called by the
// configuration check for every enabled GSLB server that has a name.
void gslb_register_name(int n);
