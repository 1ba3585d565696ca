// The SNMP bridge: pipes between an external SNMP agent's pass-through
// script (`kvn -g/-n/-s`) and the running daemon.
#pragma once

void snmp_init();        // create and open the bridge pipes
void *snmp_thread(void *);

// `kvn -g <oid>` (next = 0) and `kvn -n <oid>` (next = 1): asks the running
// daemon through the bridge pipes and prints the three-line answer for the
// SNMP agent's pass-through script; returns the exit code.
int snmp_client_get(const char *oid, int next);
