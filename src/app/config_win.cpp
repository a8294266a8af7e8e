#include "app/config.h"

void restrictNewFilesToOwner()
{
    // The user's profile folders already keep other users out.
}
