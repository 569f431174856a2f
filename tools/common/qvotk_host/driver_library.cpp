#include "qvotk_host/driver_library.h"

#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#ifndef QVO_INSTALL_LIBDIR
#define QVO_INSTALL_LIBDIR "lib"
#endif

namespace {

// The build gives the file a host loads: qvotk.dll, or the shared object
// under its versioned name (libqvotk.so.7).
constexpr const char kLibraryName[] = QVO_LIBRARY_FILE;

bool TryLoad(const std::string& path, DriverLibrary* library, std::string* error) {
#if defined(_WIN32)
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) {
    *error = "cannot load " + path;
    return false;
  }
  auto entry =
      reinterpret_cast<QvoMainFunction>(reinterpret_cast<void (*)()>(GetProcAddress(module, "QvoMain")));
#else
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* why = dlerror();
    *error = "cannot load " + path + ": " + (why ? why : "unknown error");
    return false;
  }
  auto entry = reinterpret_cast<QvoMainFunction>(dlsym(module, "QvoMain"));
#endif
  if (entry == nullptr) {
    *error = path + " has no export QvoMain";
    return false;
  }
  library->entry = entry;
  library->path = path;
  return true;
}

}  // namespace

bool LoadDriverLibrary(const std::string& path, const std::string& programDirectory, DriverLibrary* library,
                       std::string* error) {
  if (!path.empty()) return TryLoad(path, library, error);
  const std::vector<std::string> candidates = {
      programDirectory + "/" + kLibraryName,
      programDirectory + "/../" + QVO_INSTALL_LIBDIR + "/" + kLibraryName,
  };
  std::string firstError;
  for (const auto& candidate : candidates) {
    if (TryLoad(candidate, library, error)) return true;
    if (firstError.empty()) firstError = *error;
  }
  *error = firstError + " (give the library with --driver PATH)";
  return false;
}
