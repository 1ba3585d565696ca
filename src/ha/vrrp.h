// VRRP between two balancers.
#pragma once

// On the termination path: a master sends the priority-0 advertisement that
// hands mastership to the backup at once.
void vrrp_resign_if_master();
