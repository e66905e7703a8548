#include "firmware/Log.h"

#include <sys/time.h>

std::atomic<uint32_t> Log::package_bitmask{0};
std::atomic<FILE*> Log::fh{nullptr};
std::atomic<bool> Log::timestamped{false};

void Log::SetOutput(FILE* stream) { fh = stream; }

void Log::ActivatePackage(uint32_t bits) { package_bitmask |= bits; }

void Log::DeactivatePackage(uint32_t bits) { package_bitmask &= ~bits; }

bool Log::IsActive(uint32_t package) { return package == 0 || (package & package_bitmask.load()) != 0; }

void Log::log(uint32_t package, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vlog(package, format, args);
  va_end(args);
}

void Log::vlog(uint32_t package, const char* format, va_list args) {
  if (!IsActive(package)) return;
  char line[MAX_LINE + 1];
  int length = vsnprintf(line, sizeof line, format, args);
  FILE* stream = fh.load();
  if (length <= 0 || stream == nullptr) return;
  size_t count = static_cast<size_t>(length) < MAX_LINE ? static_cast<size_t>(length) : MAX_LINE;
  // One locked stretch, so that a line from another thread cannot land inside this one.
  flockfile(stream);
  if (timestamped) {
    timeval now{};
    gettimeofday(&now, nullptr);
    fprintf(stream, "%ld.%06ld ", static_cast<long>(now.tv_sec), static_cast<long>(now.tv_usec));
  }
  fwrite(line, 1, count, stream);
  funlockfile(stream);
}
