// The metadata table as the store above the data log: groomer moves recorded in the forward map
// and packets marked valid in the validity bitmap with their LEBs' valid counts. Attach hands it
// to the log with datalog_set_store(log, &mdt_store_ops, mdt).
#pragma once

#include "driver/log/datalog.h"

extern const datalog_store_ops mdt_store_ops;
