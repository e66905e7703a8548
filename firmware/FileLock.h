// An exclusive lock between processes: flock on an open file, held until the object goes.
// Locks of one file exclude each other whichever process, or open of it, takes them; a process
// that ends, however it ends, lets its locks go.
#pragma once

#include <string>

class FileLock {
 public:
  enum class Wait { untilFree, not_at_all };

  // Locks the lock file at the path, made (empty) when missing.
  FileLock(const std::string& lockFile, Wait wait);
  // Locks the open file of the descriptor, which the object owns from then on, whether the lock
  // was had or not. A negative descriptor (a failed open) gives a lock not had, with errno's
  // reason.
  FileLock(int fd, Wait wait);
  FileLock(FileLock&& other) noexcept;
  FileLock& operator=(FileLock&& other) noexcept;  // lets its own lock go first
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  bool held() const { return _fd >= 0; }
  // Not had because another open file holds the lock (with Wait::not_at_all); otherwise, when
  // not had, the file could not be opened or locked, for reason() (an errno value).
  bool busy() const;
  int reason() const { return _reason; }
  // The locked file's descriptor while held, else -1.
  int descriptor() const { return _fd; }

 private:
  void _lock(Wait wait);
  void _release();

  int _fd = -1;
  int _reason = 0;
};
