#include "PlatformMenu.h"

const char* QuitMenuText()
{
    return "&Quit";
}
