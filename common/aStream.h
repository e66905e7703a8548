// Byte streams. Every device link reads and writes its module through an aStream: a record of
// transport procedures (get one byte, put one byte, write a buffer, delete, and optionally wait
// for input) around the transport's own record, plus a push-back ring through which a reader
// returns bytes it took too early. Whoever creates a stream owns it and releases it with
// aStream_Destroy, which also deletes the transport.
//
// Threads: a stream has no lock. One reader thread (aStream_Read, the record reads,
// aStream_WaitReadable: they own the push-back ring) and one writer thread (aStream_Write and the
// record writes) may use a stream at the same time; the transports are built for that.
// No stream operation prints or logs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/aError.h"

// aErrNone with one byte stored; aErrNotReady when no byte is waiting now (try again later);
// aErrEOF at the end of the data; another code on failure. Never waits.
typedef aErr (*aStreamGetProc)(char* byte, void* ref);
// Sends one byte.
typedef aErr (*aStreamPutProc)(const char* byte, void* ref);
// Sends length bytes.
typedef aErr (*aStreamWriteProc)(const char* data, size_t length, void* ref);
// Closes the transport and frees ref.
typedef aErr (*aStreamDeleteProc)(void* ref);
// Waits at most timeoutMs for input that get can deliver; a reader-side procedure like get.
// aErrNone as soon as get has a byte for the caller, or will at once report a failure or the end
// (rarely early, after an interrupted wait: get then says aErrNotReady and the caller waits
// again); aErrTimeout when nothing came in time, never sooner; another code when the transport is
// failing (its last read failed, or it hung up): the caller treats that like a failed read.
typedef aErr (*aStreamWaitProc)(uint32_t timeoutMs, void* ref);

struct aStream;

// Bytes by which the push-back ring grows.
constexpr size_t aSTREAMBUFCHUNK = 512;
// How long aStream_WaitReadable pauses on a stream that has no wait procedure.
constexpr uint32_t aSTREAM_POLL_PAUSE_MS = 2;

// A stream over the given procedures (each may be null) and transport record, without push-back
// storage yet; null when memory runs out. A transport with write must also supply put, which
// carries every one-byte write.
aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write, aStreamDeleteProc deleteProc,
                        void* ref);

// Installs (or, with null, removes) the transport's wait procedure.
aErr aStream_SetWaitProc(aStream* stream, aStreamWaitProc wait);

// Waits until a read may deliver a byte, at most timeoutMs, so that a reader that met
// aErrNotReady sleeps instead of spinning. aErrNone when a byte is pushed back or the transport's
// wait says it is ready; aErrTimeout when nothing came in time; another code when the transport
// is failing (treat it like a failed read). A stream without a wait procedure cannot tell: it
// pauses min(timeoutMs, aSTREAM_POLL_PAUSE_MS) and answers aErrNone, so that the caller simply
// tries again. aStream_Read itself never waits.
// A reader that must not spin, in its loop:
//   aErr err = aStream_Read(stream, &byte, 1);
//   if (err == aErrNotReady) {
//     err = aStream_WaitReadable(stream, 100);  // sleeps until input comes, 100 ms at most
//     if (err == aErrNone || err == aErrTimeout) continue;  // read again
//   }
//   if (err != aErrNone) ...the input failed...; else ...take the byte...
aErr aStream_WaitReadable(aStream* stream, uint32_t timeoutMs);

// Declares (or withdraws) that a wait may come before any read of the transport: its wait
// answers at once while input is waiting, and never reports a failure before the bytes that
// came ahead of it have been read. A transport whose wait can see a hang-up that a read would
// still deliver bytes before must not declare it. Needs a wait procedure to take effect.
aErr aStream_SetWaitBeforeRead(aStream* stream, bool on);

// True when the transport declared so and has a wait procedure: a reader that expects input
// that has not come yet (a reply to what it just sent) may wait before it reads, sparing the
// read that would only find nothing there.
bool aStream_WaitsBeforeRead(const aStream* stream);

// Reads exactly length bytes, each from the push-back ring first, then from get; stops at get's
// first failure:
// - all read: aErrNone;
// - aErrNotReady after k bytes: the k bytes go back to the ring in order (the next read delivers
//   them first), the buffer is left untouched, aErrNotReady;
// - aErrEOF after k bytes: the k bytes are copied to the start of buffer, aErrEOF;
// - any other failure: the bytes read are dropped, that code.
// Reading 0 bytes succeeds.
aErr aStream_Read(aStream* stream, char* buffer, size_t length);

// Writes length bytes: with a write procedure and more than one byte, one call of write with the
// whole buffer (its result is returned); otherwise put for each byte until one fails (its code).
// Writing 0 bytes succeeds.
aErr aStream_Write(aStream* stream, const char* data, size_t length);

// Deletes the transport (the result is delete's), frees the push-back storage and the record.
// The handle is cleared in every case.
aErr aStream_Destroy(aStream** stream);

// Reads one record of at most size bytes: bytes are stored until the separator has matched
// (it is not stored) or size bytes are stored. A separator byte advances the match; any other
// byte is stored, and when it interrupts a partial match of a longer separator the matched bytes
// are dropped and matching goes on from the position reached.
// aErrNone with the record copied to buffer and its length stored (when given); the end of the
// data after some bytes also completes the record. aErrEOF with nothing stored (length 0).
// aErrNotReady: what was taken goes back to the stream in order, nothing is copied (a later call
// reads the record again from its start). Another failure: that code, nothing copied.
aErr aStream_ReadRecord(aStream* stream, char* buffer, size_t* length, size_t size, const char* separator,
                        size_t separatorLength);

// Writes data, then the separator, stopping at the first failure.
aErr aStream_WriteRecord(aStream* stream, const char* data, size_t length, const char* separator,
                         size_t separatorLength);

// Reads a 0x00-terminated text of at most size - 1 characters (a record with separator 0x00);
// on success buffer holds it terminated. size must leave room for a character and the 0x00.
aErr aStream_ReadCString(aStream* stream, char* buffer, size_t size);

// Writes the text's characters, then one 0x00.
aErr aStream_WriteCString(aStream* stream, const char* text);

// Reads a record separated by the characters of separatorText (not its terminator), at most
// size - 1 characters; on success buffer holds it terminated. Needs a size of 2 or more and a
// separator of at least one character.
aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, size_t size, const char* separatorText);

// Writes the text's characters, then the separator text's characters and its terminating 0x00.
aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* separatorText);

// Copies bytes one by one from the source's get to the destination's put until the source says
// aErrEOF (then aErrNone); any other code from get (also aErrNotReady) or put ends the copy with
// it. Bytes waiting in the source's push-back ring are not copied.
aErr aStream_Flush(aStream* source, aStream* destination);

// A stream of the file's bytes (get and delete); aErrEOF at its end.
aErr aStream_CreateFileInput(const char* path, aStream** stream);

// A stream that writes the file, created or truncated (put, write and delete).
// Both file makers store the stream through the pointer on success; every failure is
// aErrResource. The caller owns the stream.
aErr aStream_CreateFileOutput(const char* path, aStream** stream);
