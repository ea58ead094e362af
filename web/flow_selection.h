// Selection of the open-flow list by the query arguments sortBy, sortOrder,
// pageSize, page and filter: which flows, in which order, which page. Pure
// functions over copies of the records; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "flow/flow_record.h"
#include "web/settings_request.h"

// The sortable members of a flow object, in the byte order of their names.
enum class FlowColumn : uint8_t {
  age, bytes, container, domain, dstip, dstport, family, firstseen, flags, inif, lastseen, namesource, outif,
  peername, pkts, processname, proto, service, srcip, srcport, tos, user, none
};

struct FlowSelection {
  bool active = false;                     // at least one selection argument was given
  FlowColumn sortBy = FlowColumn::none;    // none: the table's own order
  bool descending = false;
  size_t pageSize = SIZE_MAX;              // SIZE_MAX: every matching flow on page 1
  size_t page = 1;                         // counted from 1
  std::vector<std::string> filter;         // lower-case tokens; a flow must match all
};

// Reads the five arguments. An argument that is present but unusable (an
// unknown column, an order other than asc or desc, a page size or page that
// is not a number from 1) prints one console line and keeps its default; it
// still makes the selection active.
FlowSelection readFlowSelection(const ArgumentLookup& lookup);

// Reads `text` as decimal digits only, at most `max`; false otherwise.
bool readWholeNumber(const char* text, uint64_t max, uint64_t& value);

// The column named exactly `name`; FlowColumn::none when there is none.
FlowColumn flowColumnByName(const char* name);

struct SelectedFlows {
  std::vector<FlowEntry> page;  // the records of the asked page, in order
  size_t matched = 0;            // flows that passed the filter
};

// Filters `flows`, orders them and cuts out the page. A flow passes the
// filter when it matches every token: a token "member=value" (a member of a
// flow object) asks for exactly that value (a number, a text without regard
// to ASCII letter case, or for srcip and dstip an IPv4 or IPv6 address or
// prefix "address/length"; for peername that name or any name under it,
// "peername=example.com" finding "www.example.com"); a token that is an IPv6 address, or an IPv4 or
// IPv6 prefix, asks for a source or destination address equal to it or
// inside it; any other token must be found, without regard to ASCII letter
// case, in the protocol name (tcp, udp, icmp, icmpv6), the source or
// destination text ("a.b.c.d:port" or "[ipv6]:port", the port for TCP and UDP
// only), the peer name, the process name, user or domain. Ascending order is by the column's
// value (addresses IPv4 before IPv6, each by value, then their port; text
// without regard to ASCII letter case, a process name by the part after its
// last "/"; counters as unsigned 32-bit numbers), ties broken by source
// address, source port, protocol, DSCP, destination address and destination
// port; descending order is its exact reverse. Only the page is sorted in
// full.
SelectedFlows selectFlows(std::vector<FlowEntry> flows, const FlowSelection& selection, uint64_t now);
