#include "common/aMutex.h"

#include <pthread.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

struct aMutex {
  pthread_mutex_t lock;
  char name[aMUTEX_MAX_NAME + 1];
};

namespace {

// The system's answer in the layer's terms; each operation names the errors it can meet.
struct ErrnoMapping {
  int number;
  aErr code;
};

template <size_t N>
aErr sMap(int number, const ErrnoMapping (&table)[N]) {
  if (number == 0) return aErrNone;
  for (const ErrnoMapping& row : table) {
    if (row.number == number) return row.code;
  }
  return aErrUnknown;
}

constexpr ErrnoMapping sLockErrors[] = {{EINVAL, aErrParam}, {EDEADLK, aErrDuplicate}};
constexpr ErrnoMapping sTryLockErrors[] = {{EINVAL, aErrParam}, {EBUSY, aErrBusy}};
constexpr ErrnoMapping sUnlockErrors[] = {{EINVAL, aErrParam}, {EPERM, aErrPermission}};
constexpr ErrnoMapping sDestroyErrors[] = {{EINVAL, aErrParam}, {EBUSY, aErrBusy}, {EAGAIN, aErrResource}};

}  // namespace

aMutex* aMutex_Create(const char* name) {
  const char* given = name != nullptr ? name : "";
  const size_t length = strnlen(given, aMUTEX_MAX_NAME + 1);
  if (length > aMUTEX_MAX_NAME) return nullptr;
  auto* mutex = static_cast<aMutex*>(calloc(1, sizeof(aMutex)));
  if (mutex == nullptr) return nullptr;
  if (pthread_mutex_init(&mutex->lock, nullptr) != 0) {
    free(mutex);
    return nullptr;
  }
  memcpy(mutex->name, given, length);
  return mutex;
}

const char* aMutex_Identifier(const aMutex* mutex) { return mutex != nullptr ? mutex->name : ""; }

aErr aMutex_Lock(aMutex* mutex) {
  if (mutex == nullptr) return aErrParam;
  return sMap(pthread_mutex_lock(&mutex->lock), sLockErrors);
}

aErr aMutex_TryLock(aMutex* mutex) {
  if (mutex == nullptr) return aErrParam;
  return sMap(pthread_mutex_trylock(&mutex->lock), sTryLockErrors);
}

aErr aMutex_Unlock(aMutex* mutex) {
  if (mutex == nullptr) return aErrParam;
  return sMap(pthread_mutex_unlock(&mutex->lock), sUnlockErrors);
}

aErr aMutex_Destroy(aMutex** mutex) {
  if (mutex == nullptr || *mutex == nullptr) return aErrParam;
  aMutex* record = *mutex;
  *mutex = nullptr;
  const aErr result = sMap(pthread_mutex_destroy(&record->lock), sDestroyErrors);
  free(record);
  return result;
}
