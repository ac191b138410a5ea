#pragma once

// Menu texts that differ per platform, one file each (PlatformMenuWin32.cpp,
// PlatformMenuGtk.cpp), chosen by the build. Untranslated.

// The File menu's Quit item, with its accelerator where the program needs
// one. On Windows the system closes a window on Alt+F4 itself, as its close
// box does; an accelerator for it would take the F4 from the system, which
// then takes the Alt released after it for a lone Alt and holds the closing
// window in menu mode.
const char* QuitMenuText();
