// BRIXDALStore.cpp: inventory writes and the write buffers.
#include "BRIXDataAccessLayer.h"

// Until the inventory store exists nothing is buffered or written.
uint64_t BRIXDAL::StoreItem(const ac_db_item_s* /*item*/) { return 0; }
uint64_t BRIXDAL::StoreItemBuffer(const ac_db_item_s* /*item*/) { return 0; }
uint64_t BRIXDAL::StoreItemFlush() { return 0; }
