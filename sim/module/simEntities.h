// The simulated module's entities: the entity (UEI) request/reply protocol over a table of
// option values, the module information queries, the echo request and the I2C buses.
// Written from the wire formats alone.
//
// Entity requests, data bytes of a packet to the module's address:
//   [class][option | 0x40 get, | 0x80 set][index | 0x20][value...]
// A get is answered [class][option][index][value, big-endian]; a get with one more byte names
// a subindex. A set or a call is acknowledged [class][option | 0xC0][index]. A failure is
// answered with the reply it would have had, the index byte carrying 0x80 and one byte more:
// the error code. Byte values travel in chunks [class][option][index][0-24 bytes][sequence]
// (sequence: packet number mod 128, 0x80 while more follow) both ways; a set of one is
// acknowledged once, after its last chunk.
// Information queries (command 0x49): FF build; 01 has-option; 04 entities of a class;
// 05 options of an entity; 06 entity group. Echo (command 0x17): the same bytes back.
// I2C (class 8): [8][bus][device << 1 | read][count][speed][bytes] answered
// [8][bus][addr][count or 0][status][bytes read]; [8][bus][1][on] switches the pull-ups.
//
// Contracts:
// - Every member may be called from any thread; the tables sit behind one lock of their own,
//   taken inside the module's handlers (which run under the module's lock) and by tests.
// - Options 1, 8 and 9 of the system entity (class 3, index 0) are the module's address, model
//   and serial number from its state, so they always agree with synchronisation and discovery.
// - The tables are shared with the handlers: they live as long as the module holds them.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "sim/module/simProtocol.h"

namespace qfsim {

inline constexpr std::uint8_t kSimClassSystem = 0x03;
inline constexpr std::uint8_t kSimClassI2C = 0x08;
inline constexpr std::uint8_t kSimClassStore = 0x5C;
inline constexpr std::uint8_t kSimCommandInfo = 0x49;
inline constexpr std::uint8_t kSimCommandEcho = 0x17;

// Error codes the module answers with (the library's result codes).
namespace simErr {
inline constexpr std::uint8_t notFound = 3;
inline constexpr std::uint8_t permission = 12;
inline constexpr std::uint8_t size = 14;
inline constexpr std::uint8_t unimplemented = 21;
inline constexpr std::uint8_t packet = 24;
inline constexpr std::uint8_t indexRange = 26;
inline constexpr std::uint8_t invalidEntity = 28;
inline constexpr std::uint8_t invalidOption = 29;
}  // namespace simErr

enum class SimValueKind { u8, u16, u32, bytes, call };

// One option of one entity.
struct SimOption {
  SimValueKind kind = SimValueKind::u8;
  bool readable = true;
  bool writable = false;
  std::vector<std::uint8_t> value{0};  // scalars big-endian in their width; byte values as they are
  std::map<std::uint8_t, std::vector<std::uint8_t>> subvalues;  // by subindex (gets and sets)
  std::uint8_t error = 0;  // non-zero: every request for it is answered with this error code
  // Non-empty: every request for it is answered with exactly these packets' data instead.
  std::vector<std::vector<std::uint8_t>> script;
  // Sent after every answer (unsolicited packets that follow a reply).
  std::vector<std::vector<std::uint8_t>> after;
  std::uint32_t writes = 0;  // sets and calls carried out

  static SimOption u8(std::uint8_t value, bool writable = false);
  static SimOption u16(std::uint16_t value, bool writable = false);
  static SimOption u32(std::uint32_t value, bool writable = false);
  static SimOption bytes(std::vector<std::uint8_t> value, bool writable = false);
  static SimOption call();
  // The scalar as a number (0 for byte values).
  std::uint32_t number() const;
};

struct SimI2CDevice {
  std::vector<std::uint8_t> memory;   // a read returns its first bytes (0 past the end)
  std::uint8_t status = 0;            // the status byte of every answer (0x80 | code: failure)
  std::vector<std::uint8_t> written;  // the bytes of the last write
};

struct SimI2CBus {
  bool pullups = false;
  std::uint8_t lastSpeed = 0;
  std::map<std::uint8_t, SimI2CDevice> devices;  // by 7-bit device address
};

class SimEntities {
 public:
  // The system entity (class 3, index 0) with the options a host asks for at connection time,
  // the entity settings store (class 0x5C, index 0) and I2C bus 0 without devices.
  SimEntities();
  SimEntities(const SimEntities&) = delete;
  SimEntities& operator=(const SimEntities&) = delete;

  // Adds or replaces an option.
  void define(std::uint8_t command, std::uint8_t index, std::uint8_t option, SimOption value);
  // Changes an option in place (defined as a default u8 first when absent).
  void update(std::uint8_t command, std::uint8_t index, std::uint8_t option,
              const std::function<void(SimOption&)>& change);
  std::optional<SimOption> option(std::uint8_t command, std::uint8_t index, std::uint8_t option) const;
  void setGroup(std::uint8_t command, std::uint8_t index, std::uint8_t group);

  void updateBus(std::uint8_t bus, const std::function<void(SimI2CBus&)>& change);
  SimI2CBus bus(std::uint8_t bus) const;

  // Installs the handlers on a module (SimModule, or any owner with setHandler(command,
  // handler)); the module shares the tables from then on.
  template <class Module>
  static void attach(const std::shared_ptr<SimEntities>& entities, Module& module) {
    for (std::uint8_t command : entities->commands())
      module.setHandler(
          command, [entities](SimContext& context, const SimPacket& packet) { entities->handle(context, packet); });
  }

  // The command bytes it answers (every entity class defined, information, echo, I2C).
  std::vector<std::uint8_t> commands() const;
  // Answers one packet sent to the module's address.
  void handle(SimContext& context, const SimPacket& packet);

 private:
  using Key = std::tuple<std::uint8_t, std::uint8_t, std::uint8_t>;  // class, index, option
  struct Incoming {                                                  // a byte value being set, chunk by chunk
    std::uint8_t nextSequence = 0;
    std::vector<std::uint8_t> bytes;
  };

  void _entityRequest(SimContext& context, const SimPacket& packet);
  void _get(SimContext& context, const Key& key, SimOption& option, const std::vector<std::uint8_t>& data);
  void _set(SimContext& context, const Key& key, SimOption& option, const std::vector<std::uint8_t>& data);
  void _setBytes(SimContext& context, const Key& key, SimOption& option, const std::vector<std::uint8_t>& data);
  void _info(SimContext& context, const SimPacket& packet);
  void _i2c(SimContext& context, const SimPacket& packet);
  bool _hasEntity(std::uint8_t command, std::uint8_t index) const;
  std::vector<std::uint8_t> _identityValue(const SimState& state, const Key& key) const;

  mutable std::mutex _lock;
  std::map<Key, SimOption> _options;
  std::map<std::pair<std::uint8_t, std::uint8_t>, std::uint8_t> _groups;
  std::map<Key, Incoming> _incoming;
  std::map<std::uint8_t, SimI2CBus> _buses;
};

}  // namespace qfsim
