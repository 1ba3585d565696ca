// The session table: the one entry point the configuration files need
// before the table is built.
#pragma once

// After a successful reload: expires every session for which
// reload_session_survives (config/config_files.h) is false, by setting its
// last-used time to 0 so that the next scan ends it.
void reload_session_sweep();
