#include "web/flow_list_text.h"

#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <sstream>

#include "runtime/console.h"
#include "web/data_document.h"

namespace {

// Made per chunk: roughly this much text before it is handed out.
constexpr size_t kChunkBytes = 64 * 1024;

// Guards longListBusy: true while a long list is being written.
std::mutex longListMutex;
std::condition_variable longListFreed;
bool longListBusy = false;

// Two strings JsonCpp writes unchanged and that no document holds.
constexpr const char* kMarkA = "vantrel-flow-list-mark-a";
constexpr const char* kMarkB = "vantrel-flow-list-mark-b";

// Appends one flow element, re-indented to its depth in the document.
void appendElement(FlowListText& t, const Json::Value& element) {
  std::ostringstream out;
  t.writer->write(element, &out);
  const std::string text = out.str();
  size_t from = 0;
  for (size_t nl = text.find('\n'); nl != std::string::npos; nl = text.find('\n', from)) {
    t.pending.append(text, from, nl + 1 - from);
    t.pending += t.indent;
    from = nl + 1;
  }
  t.pending.append(text, from, std::string::npos);
}

// Makes the next chunk of text into `pending`.
void makeChunk(FlowListText& t) {
  t.pending.clear();
  t.pendingAt = 0;
  while (t.next < t.flows.size() && t.pending.size() < kChunkBytes) {
    Json::Value element;
    try {
      element = flowToJson(t.flows[t.next], t.now);
    } catch (const std::exception& e) {
      consoleWrite(std::string(e.what()) + "\n");
      t.next = t.flows.size();
      break;
    }
    if (t.next > 0) t.pending += t.between;
    appendElement(t, element);
    ++t.next;
  }
  if (t.next == t.flows.size() && t.pending.size() < kChunkBytes) {
    t.pending += t.tail;
    t.ended = true;
    t.flows = std::vector<FlowEntry>();
  }
}

}  // namespace

std::unique_ptr<FlowListText> startFlowListText(const Json::Value& doc, std::vector<FlowEntry> flows, uint64_t now) {
  auto t = std::make_unique<FlowListText>();
  if (flows.empty()) {
    // No list: the document as it stands.
    t->pending = dataDocumentText(doc);
    t->ended = true;
    return t;
  }
  // The document with a two-element stand-in list shows where the list's
  // pieces go and how deep its elements sit.
  Json::Value marked = doc;
  Json::Value& list = marked["flows"] = Json::Value(Json::arrayValue);
  list.append(kMarkA);
  list.append(kMarkB);
  const std::string text = dataDocumentText(marked);
  const std::string a = std::string("\"") + kMarkA + "\"", b = std::string("\"") + kMarkB + "\"";
  // A line end and a tab before a quote never occur inside a string JsonCpp
  // writes (it escapes both), so this finds the member itself, and the first
  // marks after it are the stand-ins, whatever the other members hold.
  const size_t member = text.find("\n\t\"flows\" : ");
  const size_t atA = text.find(a, member), atB = text.find(b, atA);
  t->head = text.substr(0, atA);
  t->between = text.substr(atA + a.size(), atB - atA - a.size());
  t->tail = text.substr(atB + b.size());
  t->indent = t->between.substr(t->between.rfind('\n') + 1);
  t->writer.reset(Json::StreamWriterBuilder().newStreamWriter());
  t->flows = std::move(flows);
  t->now = now;
  t->pending = t->head;
  return t;
}

size_t readFlowListText(FlowListText& t, char* out, size_t max) {
  if (t.pendingAt == t.pending.size()) {
    if (t.ended) return 0;
    makeChunk(t);
  }
  const size_t n = std::min(max, t.pending.size() - t.pendingAt);
  memcpy(out, t.pending.data() + t.pendingAt, n);
  t.pendingAt += n;
  return n;
}

bool takeLongListTurn(std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(longListMutex);
  if (!longListFreed.wait_for(lock, wait, [] { return !longListBusy; })) return false;
  longListBusy = true;
  return true;
}

void releaseLongListTurn() {
  {
    std::lock_guard<std::mutex> lock(longListMutex);
    longListBusy = false;
  }
  longListFreed.notify_one();
}
