// Placeholders for compaction until it is written.
#include "compact/compact.h"
#include "compact/rebuild.h"

Status CompactIndex() {
  return kErrInPlace;
}
Status CompactCheckSpinIsi(FhStRec*) {
  return kErrNotIsi;
}
Status CompactRebuildIsi(FhStRec*) {
  return kErrInPlace;
}
int32_t CompactFillSubList(FhStRec*) {
  return -6;
}
Status CompactCopyDdrIsi(FhStRec*, uint32_t, uint32_t) {
  return kErrIsiWrite;
}
