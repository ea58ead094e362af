// IPFIX over a stream (RFC 7011, section 10.4): the messages follow each
// other, each saying its own length, so a reader cuts them out of whatever
// pieces the connection delivers. One reader per connection, one thread at
// a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct IpfixStreamReader {
  std::vector<uint8_t> pending;  // the start of a message not yet whole; at most 65,535 bytes
};

// Appends `data` to what the connection delivered before and calls
// `onMessage` with each message that is now whole, in order. False, with
// the reason in `error`, once the stream cannot be IPFIX: a header whose
// version is not 10 or whose length is below the 16-byte header. The
// connection is then to be dropped; the messages before the junk have been
// handed over.
bool readIpfixStream(IpfixStreamReader& reader, const uint8_t* data, size_t size,
                     const std::function<void(const uint8_t* message, size_t size)>& onMessage, std::string& error);
