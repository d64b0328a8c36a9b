// Placeholders for the ISI routines until they are written.
#include "isi/ddr_list.h"
#include "isi/file_lock.h"
#include "isi/sector_io.h"
#include "isi/seq_walk.h"
#include "isi/tree_build.h"

void FhStInitRec(FhStRec*) {}
int32_t XlatIsiHeader(FhStRec*, uint8_t*) {
  return 0;
}
int32_t XlatIsiTree(FhStRec*, uint8_t*) {
  return 0;
}
int32_t XlatIsiDDR(FhStRec*, uint8_t*) {
  return 0;
}
int32_t FhStReadSector(FhStRec*) {
  return -3;
}
int32_t FhStReadNewDDRSector(FhStRec*, uint32_t) {
  return -3;
}
int32_t FhStWriteHeaderSector(FhStRec*, int) {
  return -1;
}
int32_t FhStWriteKeySector(FhStRec*, int, uint32_t, const uint8_t*) {
  return -1;
}
int32_t FhStWriteDDRSector(FhStRec*, int, uint32_t) {
  return -1;
}
Status indexMain(int32_t, int32_t) {
  return kErrIsiWrite;
}
int32_t InsertKey(uint32_t) {
  return -2;
}
int64_t WriteLevelSector() {
  return -2;
}
int32_t AllocIsiBuffers() {
  return 1;
}
int32_t FhStIreadSeq(FhStRec*) {
  return -6;
}
