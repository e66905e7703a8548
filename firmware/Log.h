// The process-wide diagnostic log: numbered packages of trace lines, switched on by bit mask and
// written to one stream (standard error in the updater). User messages never go through here;
// they go through UpdaterDisplayInterface.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>

#define QF_PRINTF_LIKE(fmt, args) __attribute__((format(printf, fmt, args)))

class Log {
 public:
  // Package bits (the names the "-X" help text prints). Package 0 is always written. Bit 0x10
  // has no user of its own; the help text shows it under the name of 0x100.
  enum : uint32_t {
    ALWAYS = 0,
    DEBUG_Updater = 0x1,
    DEBUG_History = 0x2,
    DEBUG_Attributes = 0x4,
    DEBUG_BirdFile = 0x8,
    DEBUG_ServerComm = 0x20,
    DEBUG_Network = 0x100,
    DEBUG_Network_SR = 0x200,
    DEBUG_Network_FIRM = 0x400,
    DEBUG_NXPSerial = 0x1000,
    DEBUG_NXPSerial_E = 0x2000,
    DEBUG_NXPSerial_SR = 0x4000,
    DEBUG_APP = 0x10000,
    DEBUG_iMXSerial = 0x10000000,
  };

  // Longest line written; longer text is cut to this many characters.
  static constexpr size_t MAX_LINE = 2047;

  Log() {}
  ~Log() {}

  // Where log lines go; null drops them (they are still formatted).
  static void SetOutput(FILE* stream);
  static void ActivatePackage(uint32_t bits);
  static void DeactivatePackage(uint32_t bits);

  // Writes the formatted text as it is (no newline is added) when package is 0 or any of its
  // bits is active. Safe to call from any thread: the stream's own lock keeps a line whole.
  static void log(uint32_t package, const char* format, ...) QF_PRINTF_LIKE(2, 3);
  static void vlog(uint32_t package, const char* format, va_list args) QF_PRINTF_LIKE(2, 0);

  // True when a line of this package would be written (lets callers skip costly dumps).
  static bool IsActive(uint32_t package);

  // Set during option parsing, before other threads exist; atomic so that later readers on
  // worker threads need no lock.
  static std::atomic<uint32_t> package_bitmask;
  static std::atomic<FILE*> fh;
  // Prefixes each line with seconds.microseconds of the wall clock when set; off by default.
  static std::atomic<bool> timestamped;
};
