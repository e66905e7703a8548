// A fresh folder under $TMPDIR (or /tmp) for one test, removed with everything in it when the
// object goes (read-only folders inside it included). Built on the standard library only, so
// tests of the library's own file layer can trust it.
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
  // path() + "/" + name.
  std::string join(const std::string& name) const { return root + "/" + name; }
  std::string operator/(const std::string& name) const { return join(name); }

 private:
  std::string root;
};

// Writes the whole file (created or truncated); fails the current test when it cannot.
void WriteWholeFile(const std::string& path, const std::string& content);

// The whole file's content, or "" when it cannot be read.
std::string ReadWholeFile(const std::string& path);

}  // namespace qftest
