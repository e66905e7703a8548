// Device-side framing of the simulated module: link packets, their raw wire frames, and the
// COBS + CRC-8 frames of a serial line. Written on its own so that a misreading of the wire
// format cannot hide on both sides of a test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace qfsim {

inline constexpr std::size_t kMaxPacketData = 28;
inline constexpr std::uint8_t kMagicAddress = 0xAD;       // synchronisation requests
inline constexpr std::uint8_t kForceRouteAddress = 0xAF;  // route on/off from the host

// One link packet: the module address and 0 to 28 data bytes (data[0] is the command byte).
struct SimPacket {
  std::uint8_t address = 0;
  std::vector<std::uint8_t> data;

  bool operator==(const SimPacket&) const = default;
};

// CRC-8 of the 1-Wire family (reflected polynomial 0x31, initial 0, no final xor).
std::uint8_t simCrc8(const std::uint8_t* bytes, std::size_t length);

// Consistent overhead byte stuffing. Decoding gives false for a block that runs past the end.
std::vector<std::uint8_t> simCobsEncode(const std::uint8_t* bytes, std::size_t length);
bool simCobsDecode(const std::uint8_t* bytes, std::size_t length, std::vector<std::uint8_t>& out);

// [address][length][data]; the caller keeps data within kMaxPacketData.
std::vector<std::uint8_t> simRawFrame(const SimPacket& packet);

// Turns a byte stream into packets one way and packets into frames the other way. A framer
// belongs to one connection and one thread; reset() forgets a partly received frame.
class SimFramer {
 public:
  virtual ~SimFramer() = default;
  // Appends every packet completed by the bytes; malformed frames are dropped and counted.
  virtual void feed(const std::uint8_t* bytes, std::size_t length, std::vector<SimPacket>& out) = 0;
  // The bytes that carry the packet; corruptCrc spoils the check byte where the framing has one.
  virtual std::vector<std::uint8_t> frame(const SimPacket& packet, bool corruptCrc) const = 0;
  virtual void reset() = 0;
  std::size_t framingErrors() const { return _errors; }

 protected:
  std::size_t _errors = 0;
};

// Raw frames as on TCP and on the kernel driver's device node. A zero address byte is line
// noise and skipped; a length above 28 drops the frame.
std::unique_ptr<SimFramer> simMakeRawFramer();
// COBS-encoded [address][length][data][crc] followed by 0x00, as on a serial port.
std::unique_ptr<SimFramer> simMakeCobsFramer();

}  // namespace qfsim
