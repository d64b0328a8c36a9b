// The index build's output routine: each item the merge delivers in key
// order has its record length checked against the record length in effect
// (NoteItemLength), then goes into the tree. A record whose length departs
// is still indexed; the flags it sets decide at the end whether the data
// was in the expected format.
#include "core/sort_item.h"
#include "driver/cmd_data.h"
#include "driver/messages.h"
#include "isi/tree_build.h"

int32_t WriteTagRecord(uint8_t* item) {
  CmdData* cd = pCmdData;
  cd->treeLevel = 0;
  cd->curItem = item;
  uint32_t len = ItemLength(item);
  ItemLengthNote note = NoteItemLength(cd, len);
  if (cd->diagMode && (note == kItemShort || note == kItemLong)) {
    CmdShowf(note == kItemShort
                 ? "\nWriteTagRecord(1):\n1st Short Rec Length:%d at LFA:0x%.8llX Max "
                   "Allowed RecordLength:%d!\n"
                 : "\nWriteTagRecord(2):\n1st Long Rec Length:%d at LFA:0x%.8llX Max "
                   "Allowed RecordLength:%d!\n",
             static_cast<int>(len), static_cast<unsigned long long>(ItemPosition(item)),
             static_cast<int>(cd->recLenFound));
  }
  int32_t r = InsertKey(0);
  if (r == 0) return 0;
  return r == kErrTreeLevels ? kErrTreeLevels : -1;
}
