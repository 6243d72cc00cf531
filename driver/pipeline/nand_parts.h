// The NAND parts the driver knows: the identification bytes that name a part (as a bank's
// identification read returns them) and the feature values its banks are set up with. Controller
// set-up copies the identification of the channel's part into its geometry; the part features
// step finds the row here.
#pragma once

#include "driver/platform/os.h"

constexpr ULONG NAND_PART_ID_MAX = 8;

struct nand_part_row {
    ULONG id_length;  // 0 ends the table
    UCHAR id[NAND_PART_ID_MAX];
    ULONG features[3];       // code 17's values
    ULONG features_b[2];     // code 18's values
    ULONG mode_pairs[3][2];  // code 19's pair: NAND mode 2, mode 1, any other mode
};

// The table, ended by a row of id_length 0.
extern const nand_part_row nand_part_table[];

// The row whose identification bytes begin `id` (`length` bytes); NULL when none does.
const nand_part_row* nand_part_find(const UCHAR* id, ULONG length);
