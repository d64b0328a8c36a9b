// Placeholders for compaction and file locking until they are written.
#include "compact/backup.h"
#include "compact/compact.h"
#include "compact/rebuild.h"
#include "isi/file_lock.h"

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
Status CompactSaveIsi() {
  return kErrInPlace;
}
Status CompactRestoreIsi() {
  return 0;
}
Status CompactCloseBackupIsi() {
  return 0;
}
int32_t LockFHe(FhRec*, int, int64_t, int) {
  return -1;
}
int32_t LockFHs(FhRec*, int, int64_t, int) {
  return -1;
}
int32_t Enqueue(FhRec*, uint64_t, int) {
  return -2;
}
int32_t LockIsiWaitLoop(FhRec*, int) {
  return -2;
}
int32_t FhStLockIsi(FhRec*, int) {
  return -2;
}
int32_t UnLockOneRecord(FhRec*, uint64_t, uint64_t) {
  return -1;
}
int32_t FhStUnLockIsi(FhRec*) {
  return 0;
}
