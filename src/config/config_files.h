// Configuration files: loading at start and on reload, saving, the writers.
#pragma once

#include <cstdio>

constexpr const char *CONF_GLOBAL = "/etc/kvn.global";
constexpr const char *CONF_PRIVATE = "/etc/kvn%s.private";
constexpr const char *CONF_MAIN = "/etc/kvn%s.conf";

// Loads the global, private and configuration files in this order; 1 when
// they were processed to the end.
int load_config();
