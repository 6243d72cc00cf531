// The C runtime as the Windows console programs rely on it, where it differs from this
// machine's: the path splitter and the open flags' values.
#pragma once

#define _MAX_PATH 260
#define _MAX_DRIVE 3
#define _MAX_DIR 256
#define _MAX_FNAME 256
#define _MAX_EXT 256

#define _O_RDONLY 0x0000
#define _O_WRONLY 0x0001
#define _O_RDWR 0x0002
#define _O_APPEND 0x0008
#define _O_CREAT 0x0100
#define _O_TRUNC 0x0200
#define _O_EXCL 0x0400

// Splits `path` into its drive ("C:"), directory (through the last '\' or '/'), file name and
// extension (from the file name's last '.'); each output may be NULL and gets at most the
// _MAX_* bytes of its kind, terminated.
void _splitpath(const char* path, char* drive, char* dir, char* fname, char* ext);
