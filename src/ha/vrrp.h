// VRRP between two balancers.
#pragma once

// On the termination path: a master sends the priority-0 advertisement that
// hands mastership to the backup at once.
void vrrp_resign_if_master();

// Start-up: the VRRP multicast and virtual MAC addresses.
void vrrp_setup_addresses();
