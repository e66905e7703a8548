#include "common/aStream_CobsEncoding.h"

#include <cstdint>
#include <new>

#include "common/aPacket.h"
#include "common/cobs.h"
#include "common/crc8.h"

namespace {

constexpr uint16_t sCobsCheck = 0xC0B5;
// The longest encoded body: address, length, 28 data bytes and the CRC, plus the code byte.
constexpr size_t sMaxBody = 32;
// Room for the longest frame with its delimiter.
constexpr size_t sMaxFrame = sMaxBody + 1;

struct sCobs {
  aStreamGetProc get = nullptr;
  aStreamPutProc put = nullptr;
  aStreamWriteProc write = nullptr;
  aStreamDeleteProc deleteProc = nullptr;
  void* ref = nullptr;
  aStreamWaitProc wait = nullptr;
  uint16_t check = 0;
  // Reading side: the frame being collected, decoded in place at its delimiter.
  uint8_t receive[sMaxBody] = {};
  size_t receiveCount = 0;  // encoded bytes held, or decoded bytes being delivered
  bool overlong = false;    // the frame being collected did not fit: it is dropped whole
  bool ready = false;       // a good packet is being delivered
  size_t readIndex = 0;
  // Writing side.
  aPacket* assembling = nullptr;
  uint8_t encode[sMaxFrame] = {};
  size_t encodeLength = 0;
};

bool aVALIDSS(const sCobs* cobs) { return cobs && cobs->check == sCobsCheck; }

void sStartCollecting(sCobs* cobs) {
  cobs->receiveCount = 0;
  cobs->overlong = false;
  cobs->ready = false;
  cobs->readIndex = 0;
}

// A delimiter ended the frame: decode it; a good one becomes deliverable.
aErr sEndFrame(sCobs* cobs) {
  const bool fitted = !cobs->overlong;
  const size_t decoded = fitted ? cobs_decode_inplace(cobs->receive, cobs->receiveCount) : 0;
  sStartCollecting(cobs);
  const bool good = decoded > 2 && decoded == cobs->receive[1] + 3u &&
                    crc8_check(cobs->receive, decoded - 1, cobs->receive[decoded - 1]);
  if (!good) return aErrPacket;
  cobs->ready = true;
  cobs->receiveCount = decoded - 1;
  return aErrNotReady;
}

aErr sCobsStreamGet(char* byte, void* ref) {
  auto* cobs = static_cast<sCobs*>(ref);
  if (!aVALIDSS(cobs)) return aErrParam;
  if (cobs->ready) {
    *byte = static_cast<char>(cobs->receive[cobs->readIndex++]);
    if (cobs->readIndex == cobs->receiveCount) sStartCollecting(cobs);
    return aErrNone;
  }
  char received = 0;
  if (!cobs->get || cobs->get(&received, cobs->ref) != aErrNone) return aErrNotReady;
  if (received != 0) {
    if (cobs->receiveCount < sMaxBody) {
      cobs->receive[cobs->receiveCount++] = static_cast<uint8_t>(received);
    } else {
      cobs->overlong = true;
    }
    return aErrNotReady;
  }
  if (cobs->receiveCount == 0 && !cobs->overlong) return aErrNotReady;  // delimiter run
  return sEndFrame(cobs);
}

// Installed only over a transport that can wait; without one the stream's own pause serves.
aErr sCobsStreamWait(uint32_t timeoutMs, void* ref) {
  auto* cobs = static_cast<sCobs*>(ref);
  if (!aVALIDSS(cobs)) return aErrParam;
  return cobs->ready ? aErrNone : cobs->wait(timeoutMs, cobs->ref);
}

// Frames the completed assembling packet into the encode buffer and resets the packet.
void sFramePacket(sCobs* cobs) {
  size_t length = 0;
  aPacket_GetBytes(cobs->assembling, cobs->encode, sizeof cobs->encode, &length);
  aPacket_Reset(cobs->assembling);
  cobs->encode[length] = crc8_create(cobs->encode, length);
  length = cobs_encode_inplace(cobs->encode, length + 1);
  cobs->encode[length] = 0;
  cobs->encodeLength = length + 1;
}

aErr sCobsStreamWrite(const char* data, size_t length, void* ref) {
  auto* cobs = static_cast<sCobs*>(ref);
  if (!aVALIDSS(cobs)) return aErrParam;
  aErr result = aErrNone;
  for (size_t i = 0; i < length; ++i) {
    if (aPacket_AddByte(cobs->assembling, static_cast<uint8_t>(data[i])) != aErrNone) {
      aPacket_Reset(cobs->assembling);  // not a packet: start afresh with the next byte
      continue;
    }
    if (!aPacket_IsComplete(cobs->assembling)) continue;
    sFramePacket(cobs);
    const auto* frame = reinterpret_cast<const char*>(cobs->encode);
    const aErr err = cobs->write ? cobs->write(frame, cobs->encodeLength, cobs->ref) : aErrMode;
    if (err != aErrNone) result = err;
  }
  return result;
}

// A single byte is framed like any other: it may be part of a packet written piecemeal.
aErr sCobsStreamPut(const char* byte, void* ref) { return sCobsStreamWrite(byte, 1, ref); }

aErr sCobsStreamDelete(void* ref) {
  auto* cobs = static_cast<sCobs*>(ref);
  if (!aVALIDSS(cobs)) return aErrParam;
  const aErr err = cobs->deleteProc ? cobs->deleteProc(cobs->ref) : aErrNone;
  aPacket_Destroy(&cobs->assembling);
  cobs->check = 0;
  delete cobs;
  return err;
}

}  // namespace

aErr aStream_CreateCobsEncodingWithWait(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                                        aStreamDeleteProc deleteProc, aStreamWaitProc wait, void* ref,
                                        aStream** stream) {
  if (!stream) return aErrParam;
  *stream = nullptr;
  auto* cobs = new (std::nothrow) sCobs;
  if (!cobs) return aErrMemory;
  cobs->get = get;
  cobs->put = put;
  cobs->write = write;
  cobs->deleteProc = deleteProc;
  cobs->ref = ref;
  cobs->wait = wait;
  cobs->check = sCobsCheck;
  cobs->assembling = aPacket_Create();
  aStream* made = cobs->assembling
                      ? aStream_Create(sCobsStreamGet, sCobsStreamPut, sCobsStreamWrite, sCobsStreamDelete, cobs)
                      : nullptr;
  if (!made) {
    aPacket_Destroy(&cobs->assembling);
    delete cobs;
    return aErrResource;
  }
  if (wait) aStream_SetWaitProc(made, sCobsStreamWait);
  *stream = made;
  return aErrNone;
}

aErr aStream_CreateCobsEncoding(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                                aStreamDeleteProc deleteProc, void* ref, aStream** stream) {
  return aStream_CreateCobsEncodingWithWait(get, put, write, deleteProc, nullptr, ref, stream);
}
