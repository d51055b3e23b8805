#include "app/commands.h"

#include "fileutils/CclFileUtils.h"
#include "registry/CclRegistryUtils.h"

void RunTextLineCommand(bool install, const std::string& fileName, const std::string& text) {
  CclFileUtils file(fileName);
  if (install) {
    file.AddLine(text);
  } else {
    file.RemoveLine(text);
  }
}

void RunRegLineCommand(bool install, const std::string& path, const std::string& valueName,
                       const std::string& item, const std::string& separator) {
  CclRegistryUtils registry(path, separator);
  if (install) {
    registry.AddLine(valueName, item);
  } else {
    registry.RemoveLine(valueName, item);
  }
}
