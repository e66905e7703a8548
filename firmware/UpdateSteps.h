// The steps of an update shared by the update and the recovery roads: the check that a bird
// file belongs to the connected module, the loader phase (start the loader, send its blocks,
// run it) and the firmware phase (each firmware block prepared and sent up to BLOCK_RETRIES
// times, then the reboot). Both run on the caller's
// thread over a connected module and tell the user through the display; the caller reconnects
// between them when the module dropped its link to run the loader.
#pragma once

#include <cstdint>

#include "api/Module.h"
#include "common/aError.h"
#include "common/discover.h"
#include "firmware/BirdFile.h"
#include "firmware/UpdaterDisplayInterface.h"

namespace UpdateSteps {

// Tries to reach a module again once its loader starts, reconnectPauseMs (UpdateRoadPauses)
// apart; the recovery road tries as often to reach the live loader.
inline constexpr int CONNECT_ATTEMPTS = 15;
// Attempts per firmware block.
inline constexpr int BLOCK_RETRIES = 5;

// Whether the bird file fits the module: it has blocks, names the serial number unless it
// carries serial-number blocks (then it was patched with it), and the module reports that serial
// number and the bird file's model. Only a model mismatch is shown; every failure is logged.
bool _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& bird, Tarnwick::Quillfern::Module& module,
                        uint32_t serialNumber);

// Starts the loader, sends every loader block and makes the module run the loader. A loader
// that was taken without an answer (aErrTimeout from the start) counts as started. A block whose
// data fail does not stop the blocks after it, a refused PREPARE does; either way the loader is
// then not started and the first failure is returned.
aErr _transfer_loader(UpdaterDisplayInterface& display, Tarnwick::Quillfern::Module& module, const BirdFile& bird);

// Sends every firmware block (with ueiBytesLoad as UEI byte arrays, and pooled writes, when the
// module offers them), then reboots the module. A block that fails BLOCK_RETRIES times, or whose
// PREPARE fails, ends the transfer with its error and no reboot.
aErr _transfer_firmware(UpdaterDisplayInterface& display, Tarnwick::Quillfern::Module& module, const BirdFile& bird,
                        bool skipLinkDropWait, bool ueiBytesLoad);

}  // namespace UpdateSteps

namespace UpdaterRoutines {

// Puts the module under direct control before it connects: networking and fallback off, local
// only on, so that its links never pass through a link sharing server. A refusal (aErrMode while
// connected) is shown as "Failed to SET network configuration" and returned.
aErr _disableEther(Tarnwick::Quillfern::Module& module, UpdaterDisplayInterface& display);

}  // namespace UpdaterRoutines

// The waits of the update road, in milliseconds. One set per process, read when a wait begins;
// tests shorten them so that a module that never comes back costs little time.
struct UpdateRoadPauses {
  uint32_t reconnectPauseMs = 1000;  // after each failed reconnect try once the loader runs
  uint32_t loaderDropMs = 500;       // how long the link may take to show that the module
                                     // dropped it to run the loader
  uint32_t linkRecoveryMs = 3000;    // how long a block's retry waits for its link to run again
};
UpdateRoadPauses& update_road_pauses();

// Waits (bounded by linkRecoveryMs) until the module's link runs again after a transient fault:
// a link that resynchronises is given its time; a link whose stream failed or ended (a dropped
// TCP/IP connection, an unplugged USB module) is disconnected and made again from its specifier.
// A module behind a router has the router's specifier and keeps its own address, so the router
// is connected again and the module reached through it as before. Whether the link runs.
bool await_running_link(Tarnwick::Quillfern::Module& module);

// How an update reached its target the first time, so that a reconnect takes the same road.
struct UpdateRoute {
  uint32_t serialNumber = 0;
  uint32_t router = 0;       // serial number of the router module; 0 when reached directly
  linkType transport = USB;  // of the target's own link, or of the router's
};

// The module by serial number over USB, else, when no USB module has it, over TCP/IP; the
// transport of the connection made (or last tried) goes into used.
aErr connect_direct(Tarnwick::Quillfern::Module& module, uint32_t serialNumber, linkType& used);

// The router module of the route under direct control and connected by serial number (USB, else
// TCP/IP, noted in the route); a failure is shown as "Failed to connect to link module [...]".
aErr connect_link_module(UpdaterDisplayInterface& display, Tarnwick::Quillfern::Module& linkModule, UpdateRoute& route);

// After the loader start: waits (loaderDropMs) for the module to drop its link to run the
// loader; when it did, reaches it again by the road the first connection took (USB by serial
// number, with a fresh USB context before every third try; TCP/IP and serial ports to the same
// place; through the router again), up to UpdateSteps::CONNECT_ATTEMPTS tries reconnectPauseMs
// apart. A try counts only when the module answers; one that does not is disconnected before
// the next.
// aErrConnection, shown, when the module never comes back.
aErr reconnect_after_loader(UpdaterDisplayInterface& display, Tarnwick::Quillfern::Module& target, UpdateRoute& route);
