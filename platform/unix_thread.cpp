#include "common/aThread.h"

#include <pthread.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

struct aThread {
  pthread_t id;
};

aThread* aThread_Create(aThreadProc procedure, void* argument) {
  if (procedure == nullptr) return nullptr;
  auto* thread = static_cast<aThread*>(calloc(1, sizeof(aThread)));
  if (thread == nullptr) return nullptr;
  if (pthread_create(&thread->id, nullptr, procedure, argument) != 0) {
    free(thread);
    return nullptr;
  }
  return thread;
}

int aThread_Destroy(aThread** thread) {
  if (thread == nullptr || *thread == nullptr) return EINVAL;
  aThread* record = *thread;
  *thread = nullptr;
  const int joined = pthread_join(record->id, nullptr);
  free(record);
  return joined;
}

void aThread_Yield() {
  const struct timespec pause = {0, 5000};
  nanosleep(&pause, nullptr);
}
