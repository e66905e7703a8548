#include "common/aLogger.h"

#include <atomic>
#include <new>
#include <thread>

#include "common/aFile.h"
#include "common/aThread.h"

constexpr uint16_t aLOGGER_CHECK = 0xDEED;

struct aLogger {
  uint32_t id = 0;
  aLoggerProc proc = nullptr;
  aFile* file = nullptr;
  aThread* thread = nullptr;  // the logger thread while enabled
  std::atomic<bool> enabled{false};
  uint16_t check = 0;
  // Set by the logger thread before its first callback, so a control called from inside the
  // callback can tell that it runs on the thread it would have to join.
  std::atomic<std::thread::id> runner{};
};

namespace {

bool aVALIDLOGGER(const aLogger* logger) { return logger != nullptr && logger->check == aLOGGER_CHECK; }

bool sOnLoggerThread(const aLogger* logger) { return logger->runner.load() == std::this_thread::get_id(); }

void* sRunLog(void* argument) {
  auto* logger = static_cast<aLogger*>(argument);
  if (!aVALIDLOGGER(logger)) return nullptr;
  logger->runner.store(std::this_thread::get_id());
  while (logger->enabled.load()) logger->proc(logger->file, logger->id);
  return nullptr;
}

}  // namespace

aLogger* aLogger_Create(uint32_t id, aLoggerProc proc, const char* path) {
  if (!proc) return nullptr;
  auto* logger = new (std::nothrow) aLogger{};
  if (!logger) return nullptr;
  logger->file = aFile_Open(path, aFileModeAppend);
  if (!logger->file || aFile_SetUnbuffered(logger->file) != aErrNone) {
    if (logger->file) aFile_Close(&logger->file);
    delete logger;
    return nullptr;
  }
  logger->id = id;
  logger->proc = proc;
  logger->check = aLOGGER_CHECK;
  return logger;
}

aErr aLogger_Enable(aLogger* logger) {
  if (!aVALIDLOGGER(logger)) return aErrParam;
  if (logger->thread) return aErrNone;
  logger->enabled.store(true);
  logger->thread = aThread_Create(sRunLog, logger);
  if (!logger->thread) {
    logger->enabled.store(false);
    return aErrResource;
  }
  return aErrNone;
}

aErr aLogger_Disable(aLogger* logger) {
  if (!aVALIDLOGGER(logger)) return aErrParam;
  if (!logger->thread || sOnLoggerThread(logger)) return aErrNone;
  logger->enabled.store(false);
  const int joined = aThread_Destroy(&logger->thread);
  logger->thread = nullptr;
  logger->runner.store(std::thread::id{});
  return joined == 0 ? aErrNone : aErrUnknown;
}

aErr aLogger_Destroy(aLogger** logger) {
  if (!logger || !aVALIDLOGGER(*logger)) return aErrNone;
  aLogger* record = *logger;
  if (record->thread && sOnLoggerThread(record)) return aErrBusy;
  const aErr disabled = aLogger_Disable(record);
  aFile_Close(&record->file);
  if (disabled != aErrNone) return disabled;
  record->check = 0;
  delete record;
  *logger = nullptr;
  return aErrNone;
}
