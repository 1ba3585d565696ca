// The SNMP bridge: pipes between an external SNMP agent's pass-through
// script (`kvn -g/-n/-s`) and the running daemon.
#pragma once

void snmp_init();        // create and open the bridge pipes
void *snmp_thread(void *);
