// Discovery: what a program can reach and how. A `linkSpec` describes one reachable module or
// link sharing server; discovery by transport reports each find through the caller's callback
// and returns how many finds the callback counted.
//
// Contracts shared by every discovery function:
// - It runs on the caller's thread and calls the callback there, once per find, with a record
//   that is valid only during the call.
// - It keeps no state between calls and never fails as such: what cannot be reached, opened or
//   understood is skipped; the result is the count of counted finds (0 when nothing was found
//   or nothing could be sent). Nothing is printed.
// - Its duration is bounded by its time-outs (see each function).
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/aError.h"

// The transport of a `linkSpec` (a 32-bit word; values outside the list find nothing).
enum linkType : uint32_t {
  UNSPECIFIED = 0,    // no transport given
  USB = 1,            // a module on USB
  TCPIP = 2,          // an Ethernet module on TCP/IP
  SERIAL = 3,         // a module on a serial port
  ORVANE = 4,         // a client link to a link sharing server
  ORVANE_USB = 5,     // advertised by a server that serves a USB device link
  ORVANE_TCPIP = 6,   // advertised by a server that serves a TCP/IP device link
  ORVANE_SERIAL = 7,  // advertised by a server that serves a serial device link
};

// Bytes from the start of `serialPort` to the end of the record (the path and its terminator).
#define aLINKSPEC_SERIAL_PORT_SIZE 100

// 128 bytes, the same layout in memory and on the wire: 32-bit words in host byte order, the
// IPv4 address in network byte order. Unused bytes are 0.
struct linkSpec {
  linkType type;
  uint32_t serialNumber;        // module serial number
  uint32_t module;              // module address
  uint32_t router;              // address of the router module the module is reached through
  uint32_t routerSerialNumber;  // serial number of that router module
  uint32_t model;               // model code
  union {
    uint32_t ipAddress;  // IPv4 address, network byte order
    uint32_t baudRate;   // SERIAL: baud rate
  };
  union {
    uint32_t port;                                // TCP port
    char serialPort[aLINKSPEC_SERIAL_PORT_SIZE];  // SERIAL: device path, 0-terminated
  };
};
static_assert(sizeof(linkSpec) == 128, "linkSpec is exchanged whole on the wire");
static_assert(offsetof(linkSpec, ipAddress) == 24 && offsetof(linkSpec, port) == 28 &&
                  offsetof(linkSpec, serialPort) == 28,
              "wire offsets");

// Called once per find. *counted is false on entry; set it to have the find counted. Return
// true to go on, false to stop the discovery. `found` is valid only during the call.
typedef bool (*aDiscoveryProc)(const linkSpec* found, bool* counted, void* ref);

// A new zeroed record of the type; null when memory runs out.
linkSpec* aLinkSpec_Create(linkType type);

// A new heap copy of the 128 bytes; null for a null record or when memory runs out.
linkSpec* aLinkSpec_Copy(const linkSpec* spec);

// Frees the record and clears *spec.
aErr aLinkSpec_Destroy(linkSpec** spec);

// Discovers by transport and returns the count of finds the callback counted (at most 255):
//   USB                 USB enumeration (the interface is ignored)
//   TCPIP               the Ethernet-module query: requests through the interface, or through
//                       every IPv4 address of the host when it is 0 or 127.0.0.1; ends 2 s
//                       after the last reply it accepted
//   ORVANE ... ORVANE_SERIAL   aDiscovery_Enumerate_OrvaneModules
//   anything else       finds nothing
// networkInterface: an IPv4 address in network byte order, 0 for any. A null callback finds
// nothing (nothing could be counted).
uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryProc callback, void* ref, uint32_t networkInterface);

// The link-server search. With an interface of 0 or 127.0.0.1, or on a host without an IPv4
// network interface: the loopback multicast search, keeping only servers that advertise
// 127.0.0.1 (about 1 s per server found). Otherwise a beacon search on that interface, keeping
// every server heard (at most about 2.2 s); it holds the beacon interface lock throughout.
// A server heard twice in one search is reported once.
uint8_t aDiscovery_Enumerate_OrvaneModules(aDiscoveryProc callback, void* ref, uint32_t networkInterface);

// The first find of the transport with this serial number, as a new record the caller owns;
// null when there is none.
linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface);

// The first find of the transport with a non-zero serial number; null when there is none.
linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface);

// Makes USB discovery see the bus afresh: releases the process-wide USB context, so that the next
// USB discovery or connection makes a new one and finds the modules that re-enumerated meanwhile
// (a module restarting into its loader). Only while no USB device link is open, for an open one
// holds the context: true when it was released or there was none; false, changing nothing,
// while a USB link is open. Must not run during a USB discovery.
bool aDiscovery_RefreshUSB();

// The host's IPv4 network interface addresses (network byte order) into addresses[0..n), in
// the order of the messaging library's interface list (interfaces that are up and can
// broadcast, with an address, netmask and broadcast address; loopback and point-to-point
// interfaces excluded). Returns how many were written; 0 for a null array.
uint32_t aDiscovery_GetIPv4Interfaces(uint32_t* addresses, uint32_t n);

// Writes the address (network byte order) as dotted text into buffer, which is zeroed first.
// Returns the text's length; 0, with nothing written, when buffer is null or size is 15 or less.
size_t aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, size_t size);

// Wire formats, library-internal (shared with the link server's responders and tests).

// Ethernet-module query: the request goes to this group and port, replies come to the reply port.
#define aDISCOVERY_ETHERNET_GROUP "232.2.2.2"
constexpr uint16_t aDISCOVERY_ETHERNET_REQUEST_PORT = 9888;
constexpr uint16_t aDISCOVERY_ETHERNET_REPLY_PORT = 9889;
constexpr size_t aDISCOVERY_ETHERNET_REQUEST_SIZE = 16;
// Replies are 8 to 16 bytes: address, port and serial number are needed; the model may be missing.
constexpr size_t aDISCOVERY_ETHERNET_REPLY_MIN = 8;
constexpr size_t aDISCOVERY_ETHERNET_REPLY_MAX = 16;

// Link-server beacons: UDP port and the service name searchers publish (20 bytes, no zero).
constexpr uint16_t aDISCOVERY_BEACON_PORT = 8585;
#define DISCOVERY_BEACON_FILTER "Quillfern2-Discovery"
constexpr size_t aDISCOVERY_BEACON_FILTER_SIZE = sizeof(DISCOVERY_BEACON_FILTER) - 1;

// Loopback multicast: a server holding slot k (0 to 49) receives requests on port
// aDISCOVERY_LOOPBACK_REQUEST_PORT + k and answers on aDISCOVERY_LOOPBACK_REPLY_PORT + k.
#define aDISCOVERY_LOOPBACK_GROUP "224.0.0.7"
constexpr uint16_t aDISCOVERY_LOOPBACK_REQUEST_PORT = 9850;
constexpr uint16_t aDISCOVERY_LOOPBACK_REPLY_PORT = 9950;
constexpr uint16_t aDISCOVERY_LOOPBACK_SLOTS = 50;
constexpr uint32_t aDISCOVERY_LOOPBACK_REQUEST = 0xABCDDCBA;  // sent little-endian

// Turns an Ethernet-module reply from `sender` (IPv4, network byte order) into a TCPIP record.
// False, with *spec zeroed, for a reply shorter than 8 or longer than 16 bytes; a reply of 12
// bytes or fewer has model 0xFF. Never reads outside the reply.
bool aDiscovery_ParseEthernetReply(const uint8_t* reply, size_t length, uint32_t sender, linkSpec* spec);

// Takes a record received whole from the network. False, with *spec zeroed, unless length is
// exactly 128; the last byte is forced to 0, so `serialPort` is always a terminated text.
bool aDiscovery_ParseLinkSpec(const uint8_t* bytes, size_t length, linkSpec* spec);

// Library-internal: how the discovery units hand finds to the caller's callback and count them.
struct aDiscoveryReport {
  aDiscoveryProc callback;
  void* ref;
  uint8_t count;  // counted finds, held at 255 rather than wrapping
  bool stopped;   // the callback said stop
};

// Passes the find to the callback and counts it when the callback set *counted. Returns
// whether to go on (false once the callback said stop, and for a null callback).
bool aDiscovery_Offer(aDiscoveryReport* report, const linkSpec* found);

// Library-internal: the Ethernet-module query behind aDiscovery_EnumerateModules(TCPIP, ...).
uint8_t aDiscovery_EnumerateEthernet(aDiscoveryProc callback, void* ref, uint32_t networkInterface);
