// Frees descriptor 0 for one test, so that the next descriptor the code under test opens is 0:
// a valid descriptor, which that code must not take for "none". Standard input comes back when
// the object goes.
#pragma once

#include <fcntl.h>
#include <unistd.h>

namespace qftest {

class FreedDescriptorZero {
 public:
  FreedDescriptorZero() : saved_(fcntl(0, F_DUPFD_CLOEXEC, 3)) { ::close(0); }
  ~FreedDescriptorZero() {
    if (saved_ < 0) return;
    dup2(saved_, 0);
    ::close(saved_);
  }
  FreedDescriptorZero(const FreedDescriptorZero&) = delete;
  FreedDescriptorZero& operator=(const FreedDescriptorZero&) = delete;

  static bool IsOpen() { return fcntl(0, F_GETFD) != -1; }

 private:
  int saved_;
};

}  // namespace qftest
