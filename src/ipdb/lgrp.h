// Location groups of the IP location database.
#pragma once

// Resolves the location groups of the targets against the loaded
// database; called by the configuration check. Returns -1 when the groups
// cannot be parsed, else the number of groups left unresolved.
int lgrp_resolve();
