#include "support/sdp_hid_rom.h"

#include <algorithm>

namespace qftest {

namespace {

constexpr uint8_t kCommandReport = 1;
constexpr uint8_t kDataReport = 2;
constexpr uint8_t kSecurityReport = 3;
constexpr uint8_t kResponseReport = 4;

}  // namespace

SdpHidRom::SdpHidRom(UMockdevTestbed* shared) : hid_({}, shared) {
  hid_.setModel([this](std::span<const uint8_t> report) { _take(report); });
}

void SdpHidRom::_take(std::span<const uint8_t> report) {
  if (report.empty()) return;
  std::vector<qfsim::SimSdpReply> replies;
  if (report[0] == kCommandReport) {
    replies = rom_.command(report.subspan(1));
  } else if (report[0] == kDataReport && rom_.dataDue() > 0) {
    replies = rom_.data(report.subspan(1), nullptr);
  }
  for (const qfsim::SimSdpReply& reply : replies) {
    if (reply.kind == qfsim::SimSdpReply::Kind::Security) {
      std::vector<uint8_t> input = {kSecurityReport};
      input.insert(input.end(), reply.bytes.begin(), reply.bytes.end());
      hid_.queueInput(std::move(input));
      continue;
    }
    // A response longer than one report goes out in as many as it needs, each padded.
    for (size_t at = 0; at == 0 || at < reply.bytes.size(); at += RESPONSE_REPORT_BYTES) {
      std::vector<uint8_t> input(1 + RESPONSE_REPORT_BYTES, 0);
      input[0] = kResponseReport;
      size_t n = std::min(RESPONSE_REPORT_BYTES, reply.bytes.size() - at);
      std::copy_n(reply.bytes.begin() + at, n, input.begin() + 1);
      hid_.queueInput(std::move(input));
    }
  }
}

}  // namespace qftest
