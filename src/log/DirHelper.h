#pragma once

#include <wx/string.h>

// The application's directory kinds.
enum DirKind : unsigned
{
    DIR_ROOT = 6
};

// A registry of application directories by kind. The program registers none,
// so every look-up is empty and files such as the log stay relative to the
// working directory. Never instantiated; GUI thread only.
class DirHelper
{
public:
    virtual ~DirHelper() = default;
    DirHelper() = delete;

    // The path registered for kind, with the platform's path separator
    // appended when withSeparator is set (once, even after a trailing one);
    // an unregistered kind gives the empty text, never a lone separator.
    static wxString getDir(unsigned kind, bool withSeparator);

    static void setDir(unsigned kind, const wxString& path);
};
