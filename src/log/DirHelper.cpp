#include "DirHelper.h"

#include <wx/filename.h>

#include <map>

namespace
{
// Function-local so that look-ups during static initialisation find them built.
std::map<unsigned, wxString>& Registry()
{
    static std::map<unsigned, wxString> registry;
    return registry;
}

const wxString& Separator()
{
    static const wxString separator(wxFileName::GetPathSeparators()[0]);
    return separator;
}
} // namespace

wxString DirHelper::getDir(unsigned kind, bool withSeparator)
{
    const auto found = Registry().find(kind);
    if (found == Registry().end())
        return wxString();
    return withSeparator ? found->second + Separator() : found->second;
}

void DirHelper::setDir(unsigned kind, const wxString& path)
{
    Registry()[kind] = path;
}
