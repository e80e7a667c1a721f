#include "fuzz/private_dir.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace d88test {

namespace {

std::string g_root;

void RemoveRoot() {
  std::error_code ec;
  std::filesystem::remove_all(g_root, ec);
}

}  // namespace

std::string MakePrivateDirectory(const char* name) {
  std::string pattern =
      std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/" +
      name + "-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) return "";
  g_root = pattern;
  std::atexit(RemoveRoot);
  return g_root;
}

}  // namespace d88test
