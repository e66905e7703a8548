// Host side of the i.MX ROM's serial download protocol, as far as recovery needs it: prove that
// the ROM answers, write a loader image into the processor's memory, jump to it (and read the
// fuse fingerprint). The transport (USB HID or a UART) sits behind SDPLoader_Interface.
//
// Everything runs on the caller's thread and every call blocks, for a bounded time: the longest
// waits are 100 ms per reply, plus (over a UART) the time the bytes take on the line.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "common/aByteOrder.h"

// A command report: report id + 16 command bytes.
static constexpr unsigned MAX_COMMAND_BYTES = 17;
// One HID input report: report id + 64 bytes.
static constexpr unsigned MAX_READ_BYTES = 65;
// Image bytes per data report.
static constexpr unsigned MAX_WRITE_BYTES = 1024;

namespace IMX1050 {
static constexpr uint16_t VID = 0x1FC9;  // the ROM's USB HID device
static constexpr uint16_t PID = 0x0130;
static constexpr uint32_t OCOTP_BASE_ADDRESS = 0x401F4000;  // fuse controller registers
static constexpr uint32_t CFG0_OFFSET = 0x410;              // low fingerprint word
static constexpr uint32_t CFG1_OFFSET = 0x420;              // high fingerprint word
static constexpr uint32_t DEFAULT_IMX_LOADER_IVT_ADDRESS = 0x20000400;
}  // namespace IMX1050

// The little-endian word at reply[at] to reply[at + 3]; the caller has checked the length.
inline uint32_t SDPLoader_WordAt(const std::vector<uint8_t>& reply, size_t at) {
  return aByteOrder_ReadLE32(reply.data() + at);
}

// A byte channel to the ROM. Reports start with their report id; a transport that does not
// carry report ids drops it. Replies are the transport's raw bytes.
class SDPLoader_Interface {
 public:
  virtual ~SDPLoader_Interface() {}
  // Opens the channel; true when the ROM's device could be opened.
  virtual bool init() = 0;
  // Sends one report; the bytes written, or -1 when it could not be sent.
  virtual int64_t writeData(const std::vector<uint8_t>& report) = 0;
  // Appends what the ROM sent within timeoutMs (0: only what is already waiting) to out; the
  // count appended. Bounded: a device that never stops sending cannot hold the caller.
  virtual int64_t readData(std::vector<uint8_t>& out, unsigned timeoutMs) = 0;
  // ORs the reply's status or value word (little-endian), `offset` bytes past where it stands,
  // into value; false when the reply holds none.
  virtual bool getDataFromBuffer(const std::vector<uint8_t>& reply, unsigned offset, uint32_t& value) = 0;
};

class SDPLoader {
 public:
  // Results of init, writeLoader and getFingerprint.
  enum : int {
    SUCCESS = 0,
    NO_TRANSPORT = 1,
    NO_ANSWER = 2,         // the ROM did not answer ERROR_STATUS
    TRANSFER_ABORTED = 3,  // the ROM sent something while the image was going out
    NOT_COMPLETED = 4,     // the final status was missing or not "complete"
    OPEN_FAILED = 6,       // the transport's init failed
    NO_VALUE = 7,          // a register read gave no value
    JUMP_REFUSED = 8,      // the ROM answered the jump with an error status
    NOT_A_ROM = 9,         // the device sends back what it is sent: no serial download ROM
  };
  static constexpr uint32_t STATUS_COMPLETE = 0x88888888;
  static constexpr uint32_t STATUS_ACK = 0xF0F0F0F0;

  SDPLoader();
  ~SDPLoader();
  SDPLoader(const SDPLoader&) = delete;
  SDPLoader& operator=(const SDPLoader&) = delete;

  // Takes the transport over; false for null or when a transport is already set (one transport
  // for the loader's whole life), and a refused transport stays with the caller.
  template <class Transport>
  bool setLoader(std::unique_ptr<Transport>&& transport) {
    if (!_acceptsTransport(transport.get())) return false;
    loader = std::move(transport);
    return true;
  }
  // NO_TRANSPORT, OPEN_FAILED or SUCCESS.
  int init();
  // Writes the image to the address: SUCCESS, NO_ANSWER, NOT_A_ROM, TRANSFER_ABORTED or
  // NOT_COMPLETED. SUCCESS only when every report was sent whole and the ROM confirmed the
  // write; a report that cannot be sent ends the transfer.
  int writeLoader(const std::vector<uint8_t>& image, unsigned address);
  // Jumps to the address: SUCCESS when the ROM let go (it answers a jump it takes with its
  // security word alone), JUMP_REFUSED when it answered with a status (an error: it stays in
  // the ROM), NOT_A_ROM when the device echoed the jump, NOT_COMPLETED when the jump did not go
  // out whole, NO_TRANSPORT without a transport.
  int startLoader(unsigned address);
  // The fuse words CFG1:CFG0 as one number: SUCCESS, NO_ANSWER or NO_VALUE. The fingerprint is
  // set only on SUCCESS.
  int getFingerprint(uint64_t& fingerprint);

  // What the ROM said last, for messages: the status word of its last reply that held one
  // (none when it held none), and the image bytes sent by the last writeLoader.
  std::optional<uint32_t> lastStatus() const { return _lastStatus; }
  size_t imageBytesSent() const { return _imageBytesSent; }

 private:
  bool _acceptsTransport(const SDPLoader_Interface* transport) const { return transport != nullptr && !loader; }
  // The reply, which the ROM sent for the command report, is the command coming back: a
  // device that echoes what it hears (an LPC bootloader, a loopback), never the ROM.
  static bool _isEcho(const std::vector<uint8_t>& reply, const std::vector<uint8_t>& report);
  void _noteStatus(const std::vector<uint8_t>& reply);

  bool _isConnectionAlive();
  bool _expectResponse(const std::vector<uint8_t>& reply);
  bool _expectSuccess(const std::vector<uint8_t>& reply);
  bool _expectAck(const std::vector<uint8_t>& reply);
  bool _readRegister(uint32_t address, uint32_t& value);

  void _createStatusPacket(std::vector<uint8_t>& report);
  void _createWriteFilePacket(std::vector<uint8_t>& report, uint32_t address, uint32_t count);
  void _create4ByteReadRegisterPacket(std::vector<uint8_t>& report, uint32_t address);
  void _createJumpPacket(std::vector<uint8_t>& report, uint32_t address);
  void _fillCommand(std::vector<uint8_t>& report);
  void _printBuffer(const std::vector<uint8_t>& bytes);

  std::unique_ptr<SDPLoader_Interface> loader;
  std::optional<uint32_t> _lastStatus;
  size_t _imageBytesSent = 0;
  bool _echoed = false;  // the last connection check heard its command come back
};
