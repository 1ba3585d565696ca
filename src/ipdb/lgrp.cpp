// Location groups, until the location database is built.
#include "ipdb/lgrp.h"

int lgrp_resolve()
{
    // `lgrp` is not available in this build, so no group is defined and
    // none is left unresolved.
    return 0;
}
