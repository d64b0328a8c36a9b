// txn_ddr: the deleted-record list changed in place. The newest deleted
// record is the last position of the newest sector, which the header names:
// the head sector at 1536 while it holds any. A record deleted by a change
// goes into the head sector; a full head sector moves out to a new sector
// (behind the end of the file, as the build writes full sectors) and the
// head starts again with one position, linked to it. An insert takes the
// newest position; a head sector that empties is cleared, and the chain
// goes on from the sector it linked to (which an insert empties in place,
// then frees). A record another index of the change takes from its own
// list leaves this one too: the newest position takes its place, and is
// taken as by an insert.
#include <cstring>

#include "core/byte_order.h"
#include "core/sector_check.h"
#include "kelisi/txn_internal.h"

namespace kisi {

namespace {

constexpr uint64_t kHeadSector = kIsiDdrHeadPos / kIsiSector;

void MarkDdr(uint8_t* s) {
  s[kDdrMark1Ofs] = kIsiDdrMark1;
  s[kDdrMark2Ofs] = kIsiDdrMark2;
}

}  // namespace

int DdrTake(kelisi_txn* t, uint64_t* offset) {
  if (!t->keepsList || t->ddrHead == kIsiNoSector) return KELISI_NOTFOUND;
  uint64_t sector;
  if (IsiDdrSectorAt(t->tree.geo, t->ddrHead, &sector) != kIsiSound) {
    return TxnSpoil(t, KELISI_E_CORRUPT);
  }
  uint8_t* s = TxnWrite(t, sector, PageKind::kDdr);
  if (s == nullptr) return t->spoiled;
  if (IsiCheckDdrSector(s) != kIsiDdrSound) return TxnSpoil(t, KELISI_E_CORRUPT);
  uint32_t n = IsiDdrCount(s);
  uint32_t pos = LoadU32(s + sizeof(uint32_t) * (n - 1));
  StoreU32(s + sizeof(uint32_t) * (n - 1), 0);
  StoreU16(s + kDdrCountOfs, static_cast<uint16_t>(n - 1));
  if (n == 1) {
    t->ddrHead = IsiDdrLink(s);
    if (sector == kHeadSector) {
      memset(s, 0, kIsiSector);
      t->pages[sector]->kind = PageKind::kZero;
    } else {
      TxnFreeSector(t, sector);
    }
  }
  if (t->deletedCount > 0) --t->deletedCount;
  *offset = IsiRecordOffset(t->ix->recNum, pos, t->ix->recordStride);
  return KELISI_OK;
}

int DdrAdd(kelisi_txn* t, uint64_t offset) {
  if (!t->keepsList) return KELISI_OK;
  uint32_t pos = static_cast<uint32_t>(t->ix->recNum ? offset / t->ix->recordStride : offset);
  uint32_t headPos = TxnPos(t, kHeadSector);
  uint8_t* head = TxnWrite(t, kHeadSector, PageKind::kDdr);
  if (head == nullptr) return t->spoiled;
  if (t->ddrHead == headPos && IsiCheckDdrSector(head) != kIsiDdrSound) {
    return TxnSpoil(t, KELISI_E_CORRUPT);
  }
  if (t->ddrHead == headPos && IsiDdrCount(head) < kIsiDdrPerSector) {
    uint32_t n = IsiDdrCount(head);
    StoreU32(head + sizeof(uint32_t) * n, pos);
    StoreU16(head + kDdrCountOfs, static_cast<uint16_t>(n + 1));
  } else {
    uint32_t link = t->ddrHead;
    if (t->ddrHead == headPos) {
      // The full head moves out; it becomes the newest full sector.
      uint64_t out = TxnNewSector(t, PageKind::kDdr);
      if (t->spoiled != KELISI_OK) return t->spoiled;
      memcpy(TxnWrite(t, out, PageKind::kDdr), head, kIsiSector);
      link = TxnPos(t, out);
    }
    memset(head, 0, kIsiSector);
    MarkDdr(head);
    StoreU32(head + kDdrLinkOfs, link);
    StoreU32(head, pos);
    StoreU16(head + kDdrCountOfs, 1);
    t->ddrHead = headPos;
  }
  ++t->deletedCount;
  return KELISI_OK;
}

int DdrRemove(kelisi_txn* t, uint64_t offset) {
  if (!t->keepsList || t->ddrHead == kIsiNoSector) return KELISI_NOTFOUND;
  uint32_t want = static_cast<uint32_t>(t->ix->recNum ? offset / t->ix->recordStride : offset);
  // Where the chain holds it: sector and slot.
  uint64_t at = 0;
  uint32_t slot = 0;
  bool found = false;
  uint64_t links = 0;
  for (uint32_t pos = t->ddrHead; pos != kIsiNoSector && !found;) {
    uint64_t sector;
    if (IsiDdrSectorAt(t->tree.geo, pos, &sector) != kIsiSound || links++ > t->sectors) {
      return TxnSpoil(t, KELISI_E_CORRUPT);
    }
    uint8_t s[kIsiSector];
    int st = TxnRead(t, sector, PageKind::kDdr, s);
    if (st != KELISI_OK) return TxnSpoil(t, st);
    if (IsiCheckDdrSector(s) != kIsiDdrSound) return TxnSpoil(t, KELISI_E_CORRUPT);
    uint32_t n = IsiDdrCount(s);
    for (uint32_t i = 0; i < n && !found; ++i) {
      if (LoadU32(s + sizeof(uint32_t) * i) == want) found = true, at = sector, slot = i;
    }
    pos = IsiDdrLink(s);
  }
  if (!found) return KELISI_NOTFOUND;
  uint64_t newest = 0;
  int st = DdrTake(t, &newest);
  if (st != KELISI_OK) return TxnSpoil(t, st < 0 ? st : KELISI_E_CORRUPT);
  if (newest == offset) return KELISI_OK;
  // The newest position was taken from the head; the one wanted stays in
  // place (its sector was not emptied: it still held the wanted one).
  uint8_t* s = TxnWrite(t, at, PageKind::kDdr);
  if (s == nullptr) return t->spoiled;
  StoreU32(s + sizeof(uint32_t) * slot,
           static_cast<uint32_t>(t->ix->recNum ? newest / t->ix->recordStride : newest));
  return KELISI_OK;
}

}  // namespace kisi
