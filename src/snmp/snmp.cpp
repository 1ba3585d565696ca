// The SNMP bridge.
#include "snmp/snmp.h"

#include <unistd.h>

void snmp_init()
{
    // The bridge pipes come with the SNMP bridge; nothing to open yet.
}

void *snmp_thread(void *)
{
    // No bridge requests to serve yet; the thread parks for good.
    for (;;)
        pause();
    return nullptr;
}

int snmp_client_get(const char *, int)
{
    // No bridge to ask yet: an empty answer tells the SNMP agent that the
    // object does not exist.
    return 0;
}
