// The in-order walk of an existing ISI tree, one entry per call, with a
// stack of parent positions instead of recursion.
#pragma once

#include <cstdint>

#include "isi/sector_io.h"


// The positions of the parent sectors on the way from the root to the
// current sector. One stack for the process: only one walk runs at a time.
struct IsiPathStack {
  uint32_t pos[kIsiPathDepth];
  uint32_t depth;
};
extern IsiPathStack gIsiPathStack;

// Results of FhStIreadSeq. A damaged tree is refused with one of the codes
// -4 or -7 to -12 (a description is left in msgBuf); a failed call leaves the
// walk stopped, and every later call returns the same code until the walk
// is restarted with kStWalkFromFirst. No file bytes make the walk read
// outside its buffers or run for ever.
enum : int32_t {
  kWalkOk = 0,
  // -1, -2, -3: a sector read failed (see FhStReadSector).
  kWalkStackFull = -4,   // more than kIsiPathDepth levels below the root
  kWalkStackEmpty = -5,  // popping an empty path stack
  kWalkEnd = -6,         // no more entries; kStWalkAtEnd is set
  kWalkNotListed = -7,   // a sector is not listed by the parent it was reached from
  kWalkBadCount = -8,    // a count byte above 500 / entry size, or an entry size no sector holds
  kWalkBadChild = -9,    // a child off a sector boundary, inside the front or past the file's end
  kWalkLooping = -11,    // more sector loads than a tree of this file's size needs
  kWalkBadLevel = -12,   // a child whose level is not below its parent's
};

// Copies the next entry in key order into state->entry (native order) and
// takes the header's spin counter into state->spin. Set kStWalkFromFirst
// before the first call. The root comes from state->root, known under
// state->rootPos; every other sector is read from state->fd.
int32_t FhStIreadSeq(FhStRec* state);
