// The erase-block information as the pipeline reads it (its eb_* services): the row and
// segment capacities of a block, the erase completion, the error snapshot, flags and read
// counts. A channel without erase-block information answers with its uniform geometry.
#pragma once

// Installs the services while any card's erase-block information exists (counted).
void ebinfo_services_hold();
void ebinfo_services_release();
