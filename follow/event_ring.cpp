// The ring of events and the queues' comparison: what the page's streams
// read, and the ids that let a stream resume.
#include <cjson/cJSON.h>

#include <chrono>
#include <cstdio>

#include "follow/follow_spooler.h"
#include "follow/watcher_state.h"

// Never destroyed: the thread and open streams may outlive static
// destruction at the program's exit.
WatcherTables& Tables() {
  static WatcherTables* watcher = [] {
    WatcherTables* made = new WatcherTables;
    // This run's tag in every event id: the wall clock's milliseconds at
    // start, so a page's id from an earlier run never resumes this one.
    char tag[32];
    std::snprintf(tag, sizeof(tag), "%llx",
                  static_cast<unsigned long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch()).count()));
    made->boot = tag;
    return made;
  }();
  return *watcher;
}

std::string CompactJson(cJSON* root) {
  char* text = cJSON_PrintUnformatted(root);
  std::string out = text != nullptr ? text : "{}";
  cJSON_free(text);
  cJSON_Delete(root);
  return out;
}

void EmitLocked(WatcherTables& w, const char* type, const std::string& data) {
  ++w.seq;
  w.ring.emplace_back(w.seq, "id: " + EventIdText(w.seq) + "\nevent: " + type + "\ndata: " + data + "\n\n");
  while (w.ring.size() > kRingEvents) w.ring.pop_front();
  w.changed.notify_all();
}

namespace {

bool ReadPrinters(std::vector<ListedPrinter>* printers) {
  std::vector<SpoolerPrinter> records;
  std::vector<PrinterReading> readings;
  if (!EnumLocalPrinters(&records) || !ReadSpoolerPrinters(&readings)) return false;
  *printers = MergePrinterStates(records, readings);
  return true;
}

std::string PrinterChange(const char* change, const ListedPrinter& printer) {
  cJSON* root = cJSON_CreateObject();
  cJSON_AddStringToObject(root, "change", change);
  cJSON_AddItemToObject(root, "printer", ListedPrinterJson(printer));
  return CompactJson(root);
}

}  // namespace

void PollPrinters() {
  std::vector<ListedPrinter> now;
  WatcherTables& w = Tables();
  if (!ReadPrinters(&now)) {
    std::lock_guard<std::mutex> guard(w.lock);
    if (!w.havePrinters) w.printersFailed = true;
    return;
  }
  std::lock_guard<std::mutex> guard(w.lock);
  if (!w.havePrinters) {
    w.printers = now;
    w.havePrinters = true;
    // Streams that were sent a failed listing get the whole one now.
    if (w.printersFailed) EmitLocked(w, "printers", CompactJson(PrinterListingJson(w.printers, true, 0)));
    w.printersFailed = false;
    w.printersSince = w.seq;
    return;
  }
  std::map<std::string, std::string> before;
  for (const ListedPrinter& printer : w.printers) {
    before[printer.record.utf8Name] = CompactJson(ListedPrinterJson(printer));
  }
  for (const ListedPrinter& printer : now) {
    auto it = before.find(printer.record.utf8Name);
    if (it == before.end()) {
      EmitLocked(w, "printer", PrinterChange("added", printer));
      continue;
    }
    if (it->second != CompactJson(ListedPrinterJson(printer))) EmitLocked(w, "printer", PrinterChange("changed", printer));
    before.erase(it);
  }
  for (const ListedPrinter& printer : w.printers) {
    if (before.count(printer.record.utf8Name)) EmitLocked(w, "printer", PrinterChange("removed", printer));
  }
  w.printers = now;
}

std::string EventIdText(uint64_t seq) {
  WatcherTables& w = Tables();
  return w.boot + "-" + std::to_string(seq);
}

bool ParseEventId(const std::string& text, uint64_t* seq) {
  WatcherTables& w = Tables();
  size_t dash = text.find('-');
  if (dash == std::string::npos || text.compare(0, dash, w.boot) != 0 || dash != w.boot.size()) return false;
  std::string digits = text.substr(dash + 1);
  // Only the form this run writes: no sign, no leading zero, no overflow.
  if (digits.empty() || digits.size() > 18 || (digits.size() > 1 && digits[0] == '0')) return false;
  uint64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  *seq = value;
  return true;
}

bool TakeStreamSlot() {
  WatcherTables& w = Tables();
  std::lock_guard<std::mutex> guard(w.lock);
  if (w.streams >= kLargestStreams || w.stopping) return false;
  ++w.streams;
  w.wake.notify_all();
  return true;
}

void GiveBackStreamSlot() {
  WatcherTables& w = Tables();
  std::lock_guard<std::mutex> guard(w.lock);
  if (w.streams > 0) --w.streams;
  // Nobody compares the queues while no stream is open: the next stream
  // starts from a fresh list.
  if (w.streams == 0) {
    w.havePrinters = false;
    w.printersFailed = false;
  }
}

namespace {

std::string PrintersEventLocked(WatcherTables& w) {
  std::string data = CompactJson(PrinterListingJson(w.printers, w.havePrinters, 0));
  return "id: " + EventIdText(w.seq) + "\nevent: printers\ndata: " + data + "\n\n";
}

// Whether the ring still holds every event after `after`.
bool RingCoversLocked(const WatcherTables& w, uint64_t after) {
  if (after > w.seq) return false;
  return after == w.seq || (!w.ring.empty() && w.ring.front().first <= after + 1);
}

std::string EventsAfterLocked(const WatcherTables& w, uint64_t after) {
  std::string text;
  for (const auto& event : w.ring) {
    if (event.first > after) text += event.second;
  }
  return text;
}

}  // namespace

std::string StreamStart(const std::string& lastEventId, uint64_t* last) {
  WatcherTables& w = Tables();
  bool have = false;
  {
    std::lock_guard<std::mutex> guard(w.lock);
    have = w.havePrinters;
  }
  if (!have) {
    std::lock_guard<std::mutex> pass(w.pass);
    bool again = false;
    {
      std::lock_guard<std::mutex> guard(w.lock);
      again = !w.havePrinters;
    }
    if (again) PollPrinters();
  }
  std::lock_guard<std::mutex> guard(w.lock);
  uint64_t after = 0;
  std::string text;
  if (ParseEventId(lastEventId, &after) && RingCoversLocked(w, after)) {
    text = EventsAfterLocked(w, after);
    // The queues were not compared while no stream was open: their state
    // now comes whole after the labels' events.
    if (after < w.printersSince || !w.havePrinters) text += PrintersEventLocked(w);
  } else {
    text = PrintersEventLocked(w);
  }
  *last = w.seq;
  return text;
}

std::string StreamNext(uint64_t* last) {
  WatcherTables& w = Tables();
  std::lock_guard<std::mutex> guard(w.lock);
  std::string text = RingCoversLocked(w, *last) ? EventsAfterLocked(w, *last) : PrintersEventLocked(w);
  *last = w.seq;
  return text;
}

void WaitForEventAfter(uint64_t after, std::chrono::milliseconds longest) {
  WatcherTables& w = Tables();
  std::unique_lock<std::mutex> guard(w.lock);
  w.changed.wait_for(guard, longest, [&w, after] { return w.seq > after || w.stopping; });
}
