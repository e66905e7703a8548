#include "support/temp_folder.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace qftest {

TempFolder::TempFolder() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/qftest-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  root = pattern;
}

TempFolder::~TempFolder() {
  namespace fs = std::filesystem;
  std::error_code ignored;
  // A test may have taken write permission away; give it back so the tree can go.
  fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ignored);
  for (auto it = fs::recursive_directory_iterator(root, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
  }
  fs::remove_all(root, ignored);
}

}  // namespace qftest
