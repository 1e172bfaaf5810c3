// Run-time loading on POSIX: the Windows library names map to shared
// objects, looked for beside the executable (the build folder), then in
// <exe dir>/../lib/quib (the installed tree: /usr/bin/quib loads
// /usr/lib/quib/libgensock.so), then in <exe dir>/../lib, then on the
// system's library path.
#include <dlfcn.h>
#include <link.h>
#include <strings.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

struct LibraryName {
  const char* windows;
  const char* shared_object;
};

const LibraryName kLibraryNames[] = {
    {"gwinsock.dll", "libgwinsock.so"},
    {"gensock.dll", "libgensock.so"},
};

std::string shared_object_name(const char* name) {
  for (const LibraryName& entry : kLibraryNames) {
    if (strcasecmp(name, entry.windows) == 0) return entry.shared_object;
  }
  return name;
}

// The folder of the running executable, with a trailing '/'; empty when
// it cannot be found.
std::string executable_dir() {
  std::vector<char> path(4096);  // grown below if the link is longer
  for (;;) {
    ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
    if (length < 0) return std::string();
    if (static_cast<std::size_t>(length) < path.size()) {
      std::string exe(path.data(), static_cast<std::size_t>(length));
      std::size_t slash = exe.rfind('/');
      return slash == std::string::npos ? std::string() : exe.substr(0, slash + 1);
    }
    path.resize(path.size() * 2);
  }
}

void* open_library(const std::string& path) { return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); }

}  // namespace

void* platform_load_library(const char* name) {
  std::string file = shared_object_name(name);
  if (file.find('/') != std::string::npos) return open_library(file);
  std::string dir = executable_dir();
  if (!dir.empty()) {
    if (void* library = open_library(dir + file)) return library;
    if (void* library = open_library(dir + "../lib/quib/" + file)) return library;
    if (void* library = open_library(dir + "../lib/" + file)) return library;
  }
  return open_library(file);
}

std::string platform_library_path(void* library) {
  struct link_map* map = nullptr;
  if (library == nullptr || dlinfo(library, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr)
    return {};
  return map->l_name != nullptr ? map->l_name : "";
}

void* platform_find_symbol(void* library, const char* name) {
  if (library == nullptr) return nullptr;
  return dlsym(library, name);
}

void platform_free_library(void* library) {
  if (library != nullptr) dlclose(library);
}
