// The configuration check: reports combinations that load without error
// but cannot work, and computes the networks of servers and targets.
#pragma once

#include <cstdio>

// Runs the whole check with its warnings reported on out; always 1.
int config_check(FILE *out);
