// The order of requests and replies on a device link: a reply is taken only after its request
// went out. A reply that came after its wait had ended (a module answering late, or twice)
// stays queued and looks just like the reply to the next request of the same kind, so every
// request first discards what is already queued that its reply predicate accepts. Requests of
// one kind that several threads make at once are not to lose their replies to each other: while
// one waits for its reply, another of the same kind sends without discarding.
#include <algorithm>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "api/Link_impl.h"
#include "common/aTime.h"

namespace Tarnwick::Quillfern {

namespace {

// A wait ends at the latest this long after its deadline was noted (the sends before it may be
// held up by a full outbound queue).
constexpr uint64_t kWaitSlackMs = 3000;

std::mutex sWaitingLock;
// The deadlines of the requests that wait for a reply, by device link and kind.
std::map<std::pair<aLinkID, uint64_t>, std::vector<uint64_t>> sWaiting;

// Forgets waits whose end passed without being noted (a caller that never waited).
void _forgetExpired(std::vector<uint64_t>& deadlines, uint64_t now) {
  std::erase_if(deadlines, [now](uint64_t deadline) { return deadline < now; });
}

}  // namespace

void replyOrderBeforeRequest(aLinkID link, uint64_t kind, aPacketFilterProc filter, const void* match,
                             uint64_t waitMs) {
  const uint64_t now = aTime_GetMonotonicMSTicks();
  bool othersWait;
  {
    std::lock_guard lock(sWaitingLock);
    std::vector<uint64_t>& deadlines = sWaiting[{link, kind}];
    _forgetExpired(deadlines, now);
    othersWait = !deadlines.empty();
    deadlines.push_back(now + waitMs + kWaitSlackMs);
  }
  if (!othersWait) aLink_DrainPackets(link, filter, match);
}

void replyOrderAfterWait(aLinkID link, uint64_t kind) {
  std::lock_guard lock(sWaitingLock);
  const auto found = sWaiting.find({link, kind});
  if (found == sWaiting.end()) return;
  std::vector<uint64_t>& deadlines = found->second;
  if (!deadlines.empty()) deadlines.erase(std::min_element(deadlines.begin(), deadlines.end()));
  _forgetExpired(deadlines, aTime_GetMonotonicMSTicks());
  if (deadlines.empty()) sWaiting.erase(found);
}

}  // namespace Tarnwick::Quillfern
