#include "discovery/discovery.h"

// Placeholder until adapter discovery lands: finds nothing.
void discoverInterfaces() {}
