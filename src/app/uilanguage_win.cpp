#include "app/uilanguage.h"

#include <windows.h>

bool isFrenchInterface()
{
    // 1036 (0x040C): French as used in France.
    return GetUserDefaultUILanguage() == 1036;
}
