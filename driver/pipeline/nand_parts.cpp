// The NAND part table. One row so far: the part of the cards this driver is brought up on.

#include "driver/pipeline/nand_parts.h"

#include "driver/platform/kassert.h"

const nand_part_row nand_part_table[] = {
    {4, {0x56, 0x4B, 0x4E, 0x31}, {0x20, 0x04, 0x00}, {0x01, 0x02}, {{0x03, 0x01}, {0x02, 0x01}, {0x01, 0x00}}},
    {0, {}, {}, {}, {}},
};

const nand_part_row* nand_part_find(const UCHAR* id, ULONG length) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    for (const nand_part_row* row = nand_part_table; row->id_length != 0; row++) {
        if (row->id_length <= length && RtlCompareMemory(row->id, id, row->id_length) == row->id_length) {
            return row;
        }
    }
    return nullptr;
}
