// The status document with a long flow list, written piece by piece: the
// document around the list is written by JsonCpp once, each flow element by
// JsonCpp when its turn comes, and only the list's brackets, commas and
// indentation by this code, so the text is byte for byte what JsonCpp would
// write for the whole document. One request's connection thread uses one
// FlowListText; the gate below is for any thread.
#pragma once

#include <json/json.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "flow/flow_record.h"

struct FlowListText {
  std::string head;     // the document up to the first element
  std::string between;  // between two elements (a comma, a line end, the indentation)
  std::string tail;     // after the last element, the document's line end included
  std::string indent;   // put after every line end inside an element
  std::vector<FlowEntry> flows;
  uint64_t now = 0;
  size_t next = 0;        // the next flow to write
  bool ended = false;     // the tail is in `pending`
  std::string pending;    // text made but not yet read
  size_t pendingAt = 0;
  std::unique_ptr<Json::StreamWriter> writer;
};

// Prepares the text of `doc` (which has no `flows` member) with `flows` as its
// `flows` list, flow objects made with `now`; with no flows, no list member.
std::unique_ptr<FlowListText> startFlowListText(const Json::Value& doc, std::vector<FlowEntry> flows, uint64_t now);

// Copies up to `max` further bytes of the text to `out`; returns how many,
// 0 once everything has been read. An error while making an element prints
// its text and a line end, and ends the list there, as a list built in
// memory would.
size_t readFlowListText(FlowListText& text, char* out, size_t max);

// Lists longer than this are written piece by piece, one at a time.
inline constexpr size_t kLongFlowList = 1000;

// Takes the one place for writing a long list, waiting up to `wait` for it.
// False when it stays taken.
bool takeLongListTurn(std::chrono::milliseconds wait);
void releaseLongListTurn();
