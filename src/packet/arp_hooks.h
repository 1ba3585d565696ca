// The once-a-second steps of ARP handling that regular_callback() calls.
#pragma once

// Walks every ARP table entry with the refresh step (re-resolves entries
// that are due, expires dead ones).
void arp_refresh();
// Sends the reminder gratuitous ARPs when `gratarpremind` minutes have
// passed since the last ones.
void arp_gratuitous_reminders();
