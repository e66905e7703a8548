#include "recovery/HID_SDPLoader.h"

#include <hidapi.h>

#include <algorithm>
#include <climits>

#include "firmware/Log.h"

namespace {

constexpr uint8_t SECURITY_REPORT_ID = 3;
constexpr uint8_t RESPONSE_REPORT_ID = 4;
constexpr size_t SECURITY_REPORT_BYTES = 5;
constexpr size_t HID_REPLY_BYTES = SECURITY_REPORT_BYTES + MAX_READ_BYTES;
constexpr size_t HID_VALUE_AT = SECURITY_REPORT_BYTES + 1;
constexpr unsigned MAX_WORD_OFFSET = 15;

}  // namespace

HID_SDPLoader::HID_SDPLoader(uint16_t vendor, uint16_t product) : vendorId(vendor), productId(product) {}

HID_SDPLoader::~HID_SDPLoader() {
  if (handle) hid_close(handle);
  hid_exit();
}

bool HID_SDPLoader::init() {
  if (handle) hid_close(handle);
  hid_init();
  handle = hid_open(vendorId, productId, nullptr);
  Log::log(Log::DEBUG_iMXSerial, "handle: %p\n", static_cast<void*>(handle));
  return handle != nullptr;
}

int64_t HID_SDPLoader::writeData(const std::vector<uint8_t>& report) {
  if (!handle || report.empty()) return -1;
  return hid_write(handle, report.data(), report.size());
}

int64_t HID_SDPLoader::readData(std::vector<uint8_t>& out, unsigned timeoutMs) {
  if (!handle) return 0;
  int64_t appended = 0;
  unsigned char buffer[MAX_READ_BYTES] = {};
  for (unsigned reports = 0; reports < MAX_REPLY_REPORTS; ++reports) {
    // hidapi takes a negative time-out as "wait for ever".
    int got = hid_read_timeout(handle, buffer, sizeof buffer, int(std::min(timeoutMs, unsigned(INT_MAX))));
    if (got <= 0) break;
    appended += int64_t(takeReport(out, buffer, size_t(got)));
    std::fill(buffer, buffer + sizeof buffer, 0);
  }
  return appended;
}

size_t HID_SDPLoader::takeReport(std::vector<uint8_t>& out, const unsigned char (&report)[MAX_READ_BYTES], size_t got) {
  // The security report is always five bytes, whatever the read says.
  const size_t take = report[0] == SECURITY_REPORT_ID ? SECURITY_REPORT_BYTES : std::min<size_t>(got, MAX_READ_BYTES);
  out.insert(out.end(), report, report + take);
  return take;
}

bool HID_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& reply, unsigned offset, uint32_t& value) {
  // The word is only where it should be when both reports came, in their order.
  if (reply.size() != HID_REPLY_BYTES || offset > MAX_WORD_OFFSET) return false;
  if (reply[0] != SECURITY_REPORT_ID || reply[SECURITY_REPORT_BYTES] != RESPONSE_REPORT_ID) return false;
  value |= SDPLoader_WordAt(reply, HID_VALUE_AT + offset);
  return true;
}
