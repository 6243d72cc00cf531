// What the issue handlers share among their files.
#pragma once

#include "driver/pipeline/flush.h"
#include "driver/pipeline/issue.h"
#include "driver/pipeline/owners.h"
#include "driver/pipeline/request.h"

// Conditions of an erase block the handlers raise (the erase-block information's scale).
constexpr CHAR EB_CONDITION_ERASING = 6;
constexpr CHAR EB_CONDITION_ERASE_FIRST = 7;
constexpr CHAR EB_CONDITION_REERASE = 8;

// The common endings. A handler that asked for a transfer completion puts the interrupt request
// on its last port A transfer and owes a report-done word; one that ends with a NAND program
// puts it on its last port B descriptor, owes a DMA-done word and ends the sequence.
void issue_transfer_ending(nand_dev* channel, velkor_request* request);
void issue_dma_ending(nand_dev* channel, velkor_request* request);
// Pads and issues the open row unless the write at `next` (NULL: any) continues it.
void issue_close_open_row(nand_dev* channel, const flush_position* next);

int issue_page_program(nand_dev* channel, velkor_request* request);
int issue_append(nand_dev* channel, velkor_request* request);
int issue_advance_append_point(nand_dev* channel, velkor_request* request);
int issue_open_append_point(nand_dev* channel, velkor_request* request);
int issue_close_append_point(nand_dev* channel, velkor_request* request);
