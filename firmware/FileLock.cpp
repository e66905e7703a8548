#include "firmware/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

FileLock::FileLock(const std::string& lockFile, Wait wait)
    : FileLock(::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644), wait) {}

FileLock::FileLock(int fd, Wait wait) : _fd(fd), _reason(fd < 0 ? errno : 0) {
  if (_fd >= 0) _lock(wait);
}

FileLock::FileLock(FileLock&& other) noexcept : _fd(other._fd), _reason(other._reason) { other._fd = -1; }

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    _release();
    _fd = other._fd;
    _reason = other._reason;
    other._fd = -1;
  }
  return *this;
}

FileLock::~FileLock() { _release(); }

void FileLock::_release() {
  if (_fd >= 0) ::close(_fd);  // closing the only descriptor of the open file releases the lock
  _fd = -1;
}

bool FileLock::busy() const { return _fd < 0 && _reason == EWOULDBLOCK; }

void FileLock::_lock(Wait wait) {
  const int operation = wait == Wait::untilFree ? LOCK_EX : LOCK_EX | LOCK_NB;
  int result = 0;
  while ((result = ::flock(_fd, operation)) != 0 && errno == EINTR) {
  }
  if (result == 0) return;
  _reason = errno;
  ::close(_fd);
  _fd = -1;
}
