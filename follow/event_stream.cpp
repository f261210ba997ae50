// The event stream's writer. The library calls the provider again as soon
// as it returns, so each call waits for something to send: at most 5
// seconds, after which the library looks whether the page closed. Each look
// costs a wake-up and two socket polls per stream, which under Wine go
// through the wineserver: with 32 idle streams once a second that alone
// took 3 % of a core; a closed page's place now comes back within 5 s.
// A stopping server wakes every wait at once.
#include "follow/event_stream.h"

#include <chrono>
#include <memory>

#include "follow/watcher.h"

namespace {

constexpr std::chrono::seconds kCommentEvery(15);
constexpr std::chrono::milliseconds kLongestWait(5000);

struct StreamState {
  std::string lastEventId;
  bool started = false;
  uint64_t last = 0;
  std::chrono::steady_clock::time_point lastWrite;
};

bool Write(httplib::DataSink& sink, StreamState& state, const std::string& text) {
  state.lastWrite = std::chrono::steady_clock::now();
  return sink.write(text.data(), text.size());
}

}  // namespace

bool ServeEventStream(const std::string& lastEventId, httplib::Response& res) {
  if (!TakeStreamSlot()) return false;
  auto state = std::make_shared<StreamState>();
  state->lastEventId = lastEventId;
  res.status = 200;
  res.set_header("Cache-Control", "no-cache");
  res.set_chunked_content_provider(
      "text/event-stream",
      [state](size_t, httplib::DataSink& sink) {
        if (FollowingStopped()) {
          sink.done();
          return true;
        }
        if (!state->started) {
          state->started = true;
          return Write(sink, *state, "retry: 2000\n\n" + StreamStart(state->lastEventId, &state->last));
        }
        std::string text = StreamNext(&state->last);
        if (!text.empty()) return Write(sink, *state, text);
        if (std::chrono::steady_clock::now() - state->lastWrite >= kCommentEvery) {
          return Write(sink, *state, ": still here\n\n");
        }
        WaitForEventAfter(state->last, kLongestWait);
        return true;
      },
      [](bool) { GiveBackStreamSlot(); });
  return true;
}
