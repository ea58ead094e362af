#include "runtime/state.h"

#include <json/json.h>

Json::Value interfacesDiscovered;
std::mutex interfacesMutex;

Json::Value interfacesSnapshot() {
  std::lock_guard<std::mutex> lock(interfacesMutex);
  return interfacesDiscovered;
}
