// Reading and checking the front of an ISI to be compacted: the header, the
// root key sector and the head DDR sector, which one 2048-byte read fills.
#pragma once

#include <cstdint>

#include "core/status.h"
#include "isi/sector_io.h"

// Reads the front of the ISI (state->fd) and the file's size, checks the
// magic (-102), the version word (-162) and what can be checked of the
// structure without reading further (-175: key length, root count), brings
// the front into native order and takes the header values the walk and the
// rebuild need (key length, entry size, entries per sector, spin counter,
// data length, record-number addressing). 0 or the code; the message of
// -175 is the driver's.
Status CompactLoadFront(FhStRec* state);
