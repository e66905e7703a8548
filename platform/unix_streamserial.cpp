#include "common/aTransports.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iterator>
#include <new>

#include "common/aStream_CobsEncoding.h"

namespace {

constexpr uint16_t sSerialCheck = 0xBEEF;
constexpr size_t sPathRoom = 4096;
constexpr size_t sInputRoom = 256;

// The termios speed of each baud index of aSERIAL_BAUD_RATES.
constexpr speed_t sSpeeds[] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400};
static_assert(std::size(sSpeeds) == std::size(aSERIAL_BAUD_RATES));

// One serial port. get and wait belong to the reader thread, put and write to the writer
// thread; they share only the descriptor, which lives from opening to delete.
struct sSerial {
  int32_t baudIndex = 0;
  char path[sPathRoom + 1] = {};
  int descriptor = -1;
  termios saved{};
  bool hasSaved = false;
  termios applied{};
  uint16_t check = 0;
  // Reader side only: what the last read brought and has not been delivered yet.
  char input[sInputRoom];
  size_t inputCount = 0;
  size_t inputIndex = 0;
};

bool aVALIDSS(const sSerial* serial) { return serial && serial->check == sSerialCheck; }

aErr sOpenError(int error) {
  if (error == ENOENT) return aErrNotFound;
  if (error == EACCES) return aErrPermission;
  return aErrIO;
}

// Raw mode from the settings found: no input, output or line processing; a read returns at
// once with whatever is waiting, possibly nothing.
termios sRawSettings(const termios& found, int32_t baudIndex, int parity, int dataSelector, int stopSelector) {
  termios raw = found;
  raw.c_iflag = IGNBRK | (parity ? IGNPAR : 0);
  raw.c_oflag = 0;
  raw.c_lflag = 0;
  raw.c_cflag =
      CREAD | CLOCAL | (parity ? PARENB : 0) | (dataSelector == 0 ? CS8 : CS7) | (stopSelector == 1 ? CSTOPB : 0);
  cfsetispeed(&raw, sSpeeds[baudIndex]);
  cfsetospeed(&raw, sSpeeds[baudIndex]);
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  return raw;
}

// Opens and configures the record's port. A failure after opening leaves the descriptor open
// for sSerialStreamDelete to put back and close.
aErr sStreamOpenSerial(sSerial* serial, int parity, int dataSelector, int stopSelector) {
  serial->descriptor = open(serial->path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (serial->descriptor < 0) return sOpenError(errno);
  // Blocking from here on: writes wait for room; reads still return at once (VMIN 0, VTIME 0).
  if (fcntl(serial->descriptor, F_SETFL, 0) != 0) return aErrIO;
  if (tcgetattr(serial->descriptor, &serial->saved) != 0) return aErrIO;
  serial->hasSaved = true;
  serial->applied = sRawSettings(serial->saved, serial->baudIndex, parity, dataSelector, stopSelector);
  if (tcsetattr(serial->descriptor, TCSANOW, &serial->applied) != 0) return aErrIO;
  if (tcflush(serial->descriptor, TCIOFLUSH) != 0) return aErrIO;
  return aErrNone;
}

// One read of whatever is waiting into the input buffer: aErrNone with bytes, aErrNotReady with
// none, aErrIO when the read fails.
aErr sFillInput(sSerial* serial) {
  const ssize_t count = read(serial->descriptor, serial->input, sizeof serial->input);
  if (count < 0) return errno == EAGAIN || errno == EINTR ? aErrNotReady : aErrIO;
  if (count == 0) return aErrNotReady;
  serial->inputCount = static_cast<size_t>(count);
  serial->inputIndex = 0;
  return aErrNone;
}

aErr sSerialStreamGet(char* byte, void* ref) {
  auto* serial = static_cast<sSerial*>(ref);
  if (!aVALIDSS(serial)) return aErrParam;
  if (serial->inputIndex == serial->inputCount) {
    const aErr err = sFillInput(serial);
    if (err != aErrNone) return err;
  }
  *byte = serial->input[serial->inputIndex++];
  return aErrNone;
}

// The wait reads what poll announces itself: a port that has hung up polls readable for ever
// while its reads bring nothing, and must be reported rather than spun on (a framing stream over
// the port hides the failed reads themselves).
aErr sSerialStreamWait(uint32_t timeoutMs, void* ref) {
  auto* serial = static_cast<sSerial*>(ref);
  if (!aVALIDSS(serial)) return aErrParam;
  if (serial->inputIndex < serial->inputCount) return aErrNone;
  pollfd waiting{serial->descriptor, POLLIN, 0};
  const int ready = poll(&waiting, 1, static_cast<int>(timeoutMs));
  if (ready == 0) return aErrTimeout;
  if (ready < 0) return aErrNone;  // interrupted: let the caller look again
  const aErr err = sFillInput(serial);
  if (err != aErrNotReady) return err;
  return waiting.revents & (POLLHUP | POLLERR | POLLNVAL) ? aErrIO : aErrNone;
}

aErr sSerialStreamWrite(const char* data, size_t length, void* ref) {
  auto* serial = static_cast<sSerial*>(ref);
  if (!aVALIDSS(serial)) return aErrParam;
  ssize_t written;
  do {
    written = write(serial->descriptor, data, length);
  } while (written < 0 && errno == EINTR);
  if (written < 0 || static_cast<size_t>(written) != length) return aErrIO;
  tcdrain(serial->descriptor);  // transmitted before the writer goes on; a failure changes nothing
  return aErrNone;
}

aErr sSerialStreamPut(const char* byte, void* ref) { return sSerialStreamWrite(byte, 1, ref); }

aErr sSerialStreamDelete(void* ref) {
  auto* serial = static_cast<sSerial*>(ref);
  if (!aVALIDSS(serial)) return aErrParam;
  if (serial->descriptor >= 0) {
    if (serial->hasSaved) tcsetattr(serial->descriptor, TCSANOW, &serial->saved);
    close(serial->descriptor);
    serial->descriptor = -1;
    serial->saved = termios{};
    serial->hasSaved = false;
  }
  serial->check = 0;
  delete serial;
  return aErrNone;
}

bool sSelectorIsValid(int selector) { return selector == 0 || selector == 1; }

// Checks the arguments, makes the record and opens its port; on success the record is stored.
aErr sOpenRecord(const char* path, int32_t baudIndex, int parity, int dataSelector, int stopSelector, aStream** stream,
                 sSerial** made) {
  if (!path || !stream || !sSelectorIsValid(dataSelector) || !sSelectorIsValid(stopSelector)) {
    return aErrResource;
  }
  // An index outside the table is refused: the terminal would take speed 0 as a hang-up.
  const bool knownSpeed = baudIndex >= 0 && baudIndex < static_cast<int32_t>(std::size(sSpeeds));
  if (!knownSpeed || std::strlen(path) > sPathRoom) return aErrResource;
  *stream = nullptr;
  auto* serial = new (std::nothrow) sSerial;
  if (!serial) return aErrResource;
  serial->baudIndex = baudIndex;
  std::strcpy(serial->path, path);
  serial->check = sSerialCheck;
  const aErr err = sStreamOpenSerial(serial, parity, dataSelector, stopSelector);
  if (err != aErrNone) {
    sSerialStreamDelete(serial);
    return err;
  }
  *made = serial;
  return aErrNone;
}

}  // namespace

aErr aStream_CreateSerial(const char* path, int32_t baudIndex, int parity, int dataSelector, int stopSelector,
                          aStream** stream) {
  sSerial* serial = nullptr;
  const aErr err = sOpenRecord(path, baudIndex, parity, dataSelector, stopSelector, stream, &serial);
  if (err != aErrNone) return err;
  aStream* made = aStream_Create(sSerialStreamGet, sSerialStreamPut, sSerialStreamWrite, sSerialStreamDelete, serial);
  if (!made) {
    sSerialStreamDelete(serial);
    return aErrResource;
  }
  aStream_SetWaitProc(made, sSerialStreamWait);
  aStream_SetWaitBeforeRead(made, true);  // the wait reads what is waiting before it reports a hang-up
  *stream = made;
  return aErrNone;
}

aErr aStream_CreateSerial_Packetized(const char* path, int32_t baudIndex, int parity, int dataSelector,
                                     int stopSelector, aStream** stream) {
  sSerial* serial = nullptr;
  const aErr err = sOpenRecord(path, baudIndex, parity, dataSelector, stopSelector, stream, &serial);
  if (err != aErrNone) return err;
  const aErr framed = aStream_CreateCobsEncodingWithWait(sSerialStreamGet, sSerialStreamPut, sSerialStreamWrite,
                                                         sSerialStreamDelete, sSerialStreamWait, serial, stream);
  if (framed != aErrNone) sSerialStreamDelete(serial);
  return framed;
}
