// The framing stream: an aStream around a transport (a serial port) that carries link packets
// as self-delimiting frames, so that a byte lost or garbled on the line costs one packet, not
// every packet after it.
//
// Frame on the line: the packet's wire bytes [address][length][data] followed by their CRC-8
// (common/crc8.h), COBS-encoded (common/cobs.h, so no 0x00 inside), then one 0x00 delimiter:
// 5 to 33 bytes for 0 to 28 data bytes.
//
// Writing: the bytes written are assembled into packets; every packet completed is sent as one
// frame with one transport write (a packet split over several writes is sent by the write that
// completes it; a pooled buffer of several packets becomes one frame each). A byte that cannot
// belong to a packet is dropped and assembly starts afresh with the next byte. The result is
// aErrNone, or the code of the last transport write that failed; every completed packet is
// still sent after a failure.
//
// Reading: get delivers the wire bytes of each good frame received, one per call. While a frame
// is being collected, get answers aErrNotReady (also for the delimiter, and whatever the
// transport's get said: its failures show through the wait procedure instead). A frame that is
// too long, does not decode, or whose length byte or CRC-8 is wrong is dropped whole and answered
// with one aErrPacket; reception goes on with the next frame.
//
// The reading side belongs to one reader thread and the writing side to one writer thread; they
// share only the transport. No allocation after creation.
#pragma once

#include "common/aStream.h"

// Wraps the transport's procedures and record; the stream pointer is cleared first. On success
// the stream owns the transport: deleting it deletes the transport; on failure the transport is
// the caller's still.
aErr aStream_CreateCobsEncoding(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                                aStreamDeleteProc deleteProc, void* ref, aStream** stream);

// The same with the transport's wait procedure, so that readers of the framing stream can sleep
// until the transport has input (aStream_WaitReadable). Decoded bytes not yet delivered count as
// ready input. A null wait makes it aStream_CreateCobsEncoding: the stream's waits then pause.
aErr aStream_CreateCobsEncodingWithWait(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                                        aStreamDeleteProc deleteProc, aStreamWaitProc wait, void* ref,
                                        aStream** stream);
