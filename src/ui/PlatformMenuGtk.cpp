#include "PlatformMenu.h"

const char* QuitMenuText()
{
    // Without a window manager nothing else would close the window on Alt+F4.
    return "&Quit\tAlt-F4";
}
