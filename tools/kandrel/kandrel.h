// kandrel: lists, reads and writes the kinfo nodes of a card, or of the driver, through a card's
// control device. The whole program, as its entry calls it (standard output and error).
#pragma once

int kandrel_main(int argc, char** argv);
