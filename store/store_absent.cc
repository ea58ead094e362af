// A build without an embedded store engine (the Windows programs): a store
// in ClickHouse is reached over the network as anywhere; a file store is
// refused with the reason, so the collector still receives and prints.
#include "store/clickhouse_store.h"
#include "store/flow_store.h"

std::unique_ptr<FlowStore> openFlowStore(const std::string& location, bool forWriting, StoreOpenFailure& failure,
                                         std::string& error) {
  if (location.rfind(kClickHouseScheme, 0) == 0) return openClickHouseStore(location, forWriting, failure, error);
  failure = StoreOpenFailure::unavailable;
  error = "cannot open the store " + location + ": file stores are not available in this build of vantrel-collect";
  return nullptr;
}
