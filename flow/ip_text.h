// IPv4 addresses as text. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>

// A host-order address as dotted decimal: 167772161 -> "10.0.0.1".
std::string ipToDotted(uint32_t address);

// Dotted decimal to a host-order address; false when `text` is not exactly
// four decimal numbers 0..255, without leading zeros, joined by dots.
bool parseDotted(const std::string& text, uint32_t& address);
