// Loads the driver library the way a host does and finds its one export.
#pragma once

#include <qvotk/qvotk.h>

#include <string>

struct DriverLibrary {
  QvoMainFunction entry = nullptr;
  std::string path;
};

// Loads `path`, or when it is empty the library beside this program (the
// build tree), then the installed one. On failure says why in `error`.
bool LoadDriverLibrary(const std::string& path, const std::string& programDirectory, DriverLibrary* library,
                       std::string* error);
