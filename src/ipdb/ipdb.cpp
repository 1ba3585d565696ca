// The IP location database, until its tables are built: no file can be
// loaded, so every address lies in no area and locates as the pseudo
// location.
#include "ipdb/ipdb.h"

int ipdb_locate4(const uint8_t *)
{
    return LOCATION_NOTFOUND;
}

int ipdb_locate6(const uint8_t *)
{
    return LOCATION_NOTFOUND;
}

const char *ipdb_location_code(int)
{
    return nullptr;
}
