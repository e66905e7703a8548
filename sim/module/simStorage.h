// The simulated module's storage, written from the wire formats alone: store slots (command 4)
// and factory data (command 0x5E). Numbers big-endian.
//
// Store slots, [04 op ...] answered [04 op ...], failures [04 op|0x80 ... code]:
//   01 capacity  [04 01 store slot]      -> [04 01 store slot capacity16]
//   02 size      [04 02 store slot]      -> [04 02 store slot size16]
//   03 open read [04 03 store slot]      -> [04 03 store slot handle]
//   04 open write[04 04 store slot]      -> [04 04 store slot handle]   (the slot starts empty)
//   06 read      [04 06 handle]          -> [04 06 handle next 0-25 bytes]
//   07 write     [04 07 handle 1-25 bytes] -> [04 07 handle sum8 of the bytes]
//   08 close     [04 08 handle]          -> [04 08 handle 00]
//   failures of 01-04: [04 op|0x80 store slot code]; of 06-08: [04 op|0x80 handle code].
// Factory data, [5E option ...]: option = type (0-15) | 0x40 first read | 0x10 write (| 0x40 on
// the first write packet); 0x20 alone closes a transfer:
//   read   [5E type|0x40] then [5E type]  -> [5E type 0-26 bytes]; 28 data bytes: more follow
//   write  [5E type|0x50 bytes] then [5E type|0x10 bytes] -> [5E type]
//   close  [5E 20 n16]  -> [5E 00] when n is the count of bytes moved (a write is then kept),
//                          else [5E 80 code]
//   failures: [5E type|0x80 code].
//
// Contracts: every member may be called from any thread (one lock of its own, taken inside the
// handlers, which run under the module's lock, and by tests).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "sim/module/simProtocol.h"

namespace qfsim {

inline constexpr std::uint8_t kSimCommandSlot = 0x04;
inline constexpr std::uint8_t kSimCommandFactory = 0x5E;

struct SimSlot {
  std::uint16_t capacity = 256;
  std::vector<std::uint8_t> bytes;
};

// Fault knobs; changeable while running. An op is a slot operation byte (1-8).
struct SimStorageFaults {
  std::uint8_t slotErrorOp = 0;  // this slot operation is answered with slotErrorCode
  std::uint8_t slotErrorCode = 0;
  std::uint8_t slotShortOp = 0;        // this slot operation's answer is cut to its first 4 bytes
  std::uint8_t slotSilentOp = 0;       // this slot operation goes unanswered ...
  std::uint32_t slotSilentAfter = 0;   // ... after this many answered ones
  std::uint8_t slotTwiceOp = 0;        // this slot operation is answered twice (a late duplicate)
  bool wrongSum = false;               // write acknowledgements carry the sum plus one
  std::uint8_t factoryErrorCode = 0;   // every factory read or write packet fails with it
  bool factoryLongAck = false;         // write acknowledgements carry one byte too many
  std::uint8_t factoryCloseError = 0;  // every close fails with it
};

struct SimStorageRecord {
  std::vector<std::vector<std::uint8_t>> slotRequests;     // data of every slot request
  std::vector<std::vector<std::uint8_t>> factoryRequests;  // data of every factory request
};

class SimStorage {
 public:
  SimStorage() = default;

  template <class Module>
  static void attach(const std::shared_ptr<SimStorage>& storage, Module& module) {
    module.setHandler(kSimCommandSlot, [storage](SimContext& c, const SimPacket& p) { storage->handleSlot(c, p); });
    module.setHandler(kSimCommandFactory,
                      [storage](SimContext& c, const SimPacket& p) { storage->handleFactory(c, p); });
  }

  void setSlot(std::uint8_t store, std::uint8_t slot, SimSlot contents);
  SimSlot slot(std::uint8_t store, std::uint8_t slot) const;  // an empty slot when none
  void setFactoryData(std::uint8_t type, std::vector<std::uint8_t> bytes);
  std::vector<std::uint8_t> factoryData(std::uint8_t type) const;
  void setFaults(const SimStorageFaults& faults);
  SimStorageRecord record() const;

  void handleSlot(SimContext& context, const SimPacket& packet);
  void handleFactory(SimContext& context, const SimPacket& packet);

 private:
  using SlotKey = std::pair<std::uint8_t, std::uint8_t>;
  struct Open {
    SlotKey key;
    bool writing = false;
    std::size_t position = 0;
    std::vector<std::uint8_t> written;
  };
  struct Transfer {  // the factory transfer in progress
    std::uint8_t type = 0;
    bool writing = false;
    std::size_t moved = 0;
    std::vector<std::uint8_t> written;
  };

  void _slotReply(SimContext& context, std::uint8_t op, std::vector<std::uint8_t> fields);
  void _slotOpen(SimContext& context, std::uint8_t op, std::uint8_t store, std::uint8_t slot);
  void _slotTransfer(SimContext& context, std::uint8_t op, const std::vector<std::uint8_t>& data);
  void _factoryRead(SimContext& context, std::uint8_t option);
  void _factoryWrite(SimContext& context, std::uint8_t option, const std::vector<std::uint8_t>& data);
  void _factoryClose(SimContext& context, const std::vector<std::uint8_t>& data);

  mutable std::mutex _lock;
  std::map<SlotKey, SimSlot> _slots;
  std::map<std::uint8_t, Open> _open;  // by handle
  std::uint8_t _nextHandle = 1;
  std::map<std::uint8_t, std::uint32_t> _answered;  // by slot operation
  std::map<std::uint8_t, std::vector<std::uint8_t>> _factory;
  Transfer _transfer;
  SimStorageFaults _faults;
  SimStorageRecord _record;
};

}  // namespace qfsim
