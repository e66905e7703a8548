// The simulated module's loader: the upgrade command 0x5F, written from the wire format alone.
// Requests (data bytes after the module's address), multi-byte values big-endian:
//   [5F 00]                  INIT: answered [5F 00 base32]
//   [5F 01 bytes]            DATA: answered [5F 01 n], n the bytes taken
//   [5F 02]                  LOAD: answered [5F 02]; then, when loaderRestarts, the connection
//                            drops as the module restarts into its loader
//   [5F 03 flags address32]  PREPARE: starts an image at that address (again, on a retry),
//                            answered [5F 07 status blockSize16]
//   [5F 04]                  SUM: [5F 07 status sum32], the byte sum since the last PREPARE,
//                            SUM or WRITE
//   [5F 05 count16]          WRITE: commits the firmware bytes received since the last WRITE,
//                            answered [5F 07 status]; status 1 when count disagrees
//   [5F 06]                  REBOOT: the connection drops (when rebootRestarts)
// Faults for the road's tests: one DATA request of a chosen firmware image drops the
// connection or loses its answer; a loader that answers nothing once it restarted.
//   a UEI set of option 10 of entity class 0x5F (byte array) carries data in place of DATA;
//   the entity side (SimEntities) takes the chunks and acknowledges it.
// Before LOAD every PREPARE starts a loader image and data go straight into it; after LOAD
// into firmware images, committed by WRITE. The images are kept for tests to compare.
//
// Contracts: every member may be called from any thread (one lock of its own, taken inside the
// handler, which runs under the module's lock, and by tests).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "sim/module/simEntities.h"

namespace qfsim {

inline constexpr std::uint8_t kSimCommandUpgrade = 0x5F;

struct SimImage {
  std::uint32_t address = 0;
  std::uint8_t flags = 0;
  std::vector<std::uint8_t> bytes;
};

// What a DATA request meets when the data fault strikes.
enum class SimDataFault {
  dropConnection,  // the connection drops unanswered, as a module that resets mid-block
  loseReply,       // the request is taken but its answer lost
};

// Fault knobs and settings; changeable while running.
struct SimUpgradeSettings {
  std::uint16_t blockSize = 512;                // the chunk size PREPARE answers with
  std::uint32_t loadBase = 0x00004000;          // INIT's load base
  bool loaderRestarts = true;                   // LOAD drops the connection after its answer
  bool answerLoad = true;                       // off: LOAD gets no answer (and no restart)
  bool loadAnsweredAfterRestart = false;        // LOAD drops the connection unanswered; the loader
                                                // answers [5F 02] to the next host that connects
  bool rebootRestarts = true;                   // REBOOT drops the connection
  bool offerUEIData = false;                    // the module offers option 10 of class 0x5F
  std::uint32_t wrongSums = 0;                  // the next so many SUM answers carry a wrong sum
  std::uint32_t wrongEchoes = 0;                // the next so many DATA answers echo a wrong count
  std::optional<std::uint32_t> failingAddress;  // every SUM while this image is prepared fails
  std::optional<std::uint32_t> refusedAddress;  // every PREPARE of this address is refused
  bool shortStatusReplies = false;              // PREPARE, SUM and WRITE answered with [5F 07] only
  std::uint32_t protocolFeatures = 0;           // the system entity's option 45
  bool loaderRunning = false;                   // the module runs a loader already (started by other
                                                // means): images are firmware from the first PREPARE
  // A fault met once, by the first DATA request into the firmware image of this index (counted
  // from 0 in the order prepared, retries not counted).
  std::optional<std::uint32_t> dataFaultImage;
  SimDataFault dataFault = SimDataFault::dropConnection;
  bool silentAfterRestart = false;  // once the loader restarted, the module answers nothing
                                    // on any later connection (a loader that hangs)
};

// The loader of a current module, which the simulated module program starts with: block size
// 1024, byte arrays (option 10) offered and pooled writes announced in the protocol features, so
// that the road takes the path users take. SimUpgradeSettings{} is the plainer loader (block size
// 512, DATA packets only) that the protocol's tests start from.
inline SimUpgradeSettings SimPooledLoaderSettings() {
  SimUpgradeSettings settings;
  settings.blockSize = 1024;
  settings.offerUEIData = true;
  settings.protocolFeatures = 0x80000000u;  // bit 31: pooled writes
  return settings;
}

struct SimUpgradeRecord {
  std::uint32_t inits = 0, loads = 0, reboots = 0, prepares = 0, sums = 0, writes = 0;
  std::uint32_t dataPackets = 0;  // DATA requests (UEI byte arrays not counted)
  std::vector<SimImage> loaders;
  std::vector<SimImage> firmware;
};

class SimUpgrade {
 public:
  explicit SimUpgrade(SimUpgradeSettings settings = {});

  // Installs the upgrade handler on the module, after the entities' handlers (the entities then
  // carry the byte arrays of option 10).
  template <class Module>
  static void attach(const std::shared_ptr<SimUpgrade>& upgrade, const std::shared_ptr<SimEntities>& entities,
                     Module& module) {
    upgrade->_share(entities);
    module.setHandler(kSimCommandUpgrade,
                      [upgrade](SimContext& context, const SimPacket& packet) { upgrade->handle(context, packet); });
    module.setGreeting([upgrade](SimContext& context) { upgrade->greet(context); });
  }

  void setSettings(const SimUpgradeSettings& settings);
  SimUpgradeSettings settings() const;
  SimUpgradeRecord record() const;

  void handle(SimContext& context, const SimPacket& packet);
  void greet(SimContext& context);

 private:
  void _share(const std::shared_ptr<SimEntities>& entities);
  void _offerUEIData();
  void _prepare(SimContext& context, const std::vector<std::uint8_t>& data);
  void _data(SimContext& context, const std::vector<std::uint8_t>& data);
  bool _dataFaultStrikes();
  void _take(const std::vector<std::uint8_t>& bytes);
  void _sum(SimContext& context);
  void _write(SimContext& context, const std::vector<std::uint8_t>& data);
  void _byteArray(SimContext& context, const SimPacket& packet);
  void _status(SimContext& context, std::vector<std::uint8_t> fields);
  SimImage* _current();

  mutable std::mutex _lock;
  SimUpgradeSettings _settings;
  SimUpgradeRecord _record;
  std::shared_ptr<SimEntities> _entities;
  bool _loaded = false;  // LOAD seen: images are firmware from now on
  bool _prepared = false;
  bool _announceLoad = false;         // the loader's answer to LOAD waits for a connection
  bool _restarted = false;            // the loader has restarted the module
  std::uint32_t _firmwareImages = 0;  // firmware images begun (a retry begins none)
  bool _dataFaultMet = false;
  std::uint32_t _sumSinceCheck = 0;
  std::vector<std::uint8_t> _uncommitted;  // firmware bytes awaiting WRITE
};

}  // namespace qfsim
