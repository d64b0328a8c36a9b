// Compaction's walk of an existing ISI tree: each call gives the next entry
// in key order, read through the shared tree cursor (isi/tree_cursor) from
// the file's descriptor.
#pragma once

#include <cstdint>

#include "isi/sector_io.h"

// Results of FhStReadNextEntry. A failed call leaves the walk stopped, and
// every later call returns the same code until the walk is restarted with
// kStWalkFromFirst. No file bytes make the walk read outside its buffers,
// step backwards or run for ever.
enum : int32_t {
  kWalkOk = 0,
  kWalkRead = -3,     // the file's size could not be taken, or a sector inside it read
  kWalkEnd = -6,      // no more entries; kStWalkAtEnd is set
  kWalkDamaged = -7,  // damage: state->walk.damage and damagePos tell what and where
};

// Copies the next entry in key order into state->entry (native order) and
// takes the header's spin counter into state->spin. Set kStWalkFromFirst
// before the first call. The root comes from state->root; every other
// sector is read from state->fd.
int32_t FhStReadNextEntry(FhStRec* state);
