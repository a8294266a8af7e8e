#include "app/config.h"

#include <sys/stat.h>

void restrictNewFilesToOwner()
{
    umask(S_IRWXG | S_IRWXO);
}
