// A fresh folder under the system's temporary folder, removed with everything in it when the
// object goes (read-only folders inside it included).
#pragma once

#include <string>

namespace qftest {

class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& path() const { return root; }
  // root + "/" + name
  std::string operator/(const std::string& name) const { return root + "/" + name; }

 private:
  std::string root;
};

}  // namespace qftest
