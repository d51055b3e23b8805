// The edit commands that the front end runs. Each builds one editor, runs one
// operation on it and reports failure by throwing a message text
// (const char*), which the front end prints.
#pragma once

#include <string>

// Adds the line `text` to the text file `fileName` (install) or removes the
// lines that contain it (uninstall).
void RunTextLineCommand(bool install, const std::string& fileName, const std::string& text);

// Adds `item` to the `separator`-separated string value `valueName` of the
// registry key `path` (install) or removes it (uninstall).
void RunRegLineCommand(bool install, const std::string& path, const std::string& valueName,
                       const std::string& item, const std::string& separator);
