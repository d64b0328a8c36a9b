// Placeholders for the sort routines until they are written.
#include "sort/sort_open.h"

Status sortOpen() {
  return kErrOpenSource;
}
