// A build without any store engine (the Windows programs): every store is
// refused with the reason, so the collector still receives and prints.
#include "store/flow_store.h"

std::unique_ptr<FlowStore> openFlowStore(const std::string& location, bool, StoreOpenFailure& failure,
                                         std::string& error) {
  failure = StoreOpenFailure::unavailable;
  error = "cannot open the store " + location + ": stores are not available in this build of vantrel-collect";
  return nullptr;
}
