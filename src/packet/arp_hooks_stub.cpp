// Stub bodies of the ARP once-a-second steps until ARP handling lands.
#include "packet/arp_hooks.h"

void arp_refresh()
{
    // ARP refresh of every ARPHASH entry: belongs to ARP handling.
}

void arp_gratuitous_reminders()
{
    // Reminder gratuitous ARPs for own addresses: belongs to ARP handling.
}
