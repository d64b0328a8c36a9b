// The index build's output routine: each item the merge delivers in key
// order has its record length checked against the record length in effect,
// then goes into the tree. A record whose length departs is still indexed;
// the flags it sets decide at the end whether the data was in the expected
// format.
#include "driver/cmd_data.h"
#include "driver/messages.h"
#include "isi/tree_build.h"
#include "sort/sort_item.h"

namespace {

// Notes a record whose length departs from the record length in effect.
void NoteLengthDeparture(const uint8_t* item, uint32_t len) {
  CmdData* cd = pCmdData;
  bool isShort = len < cd->recLenFound;
  uint8_t& seen = isShort ? cd->shortRecFound : cd->longRecFound;
  if (cd->diagMode && !seen) {
    CmdShowf(isShort ? "\nWriteTagRecord(1):\n1st Short Rec Length:%d at LFA:0x%.8llX Max "
                       "Allowed RecordLength:%d!\n"
                     : "\nWriteTagRecord(2):\n1st Long Rec Length:%d at LFA:0x%.8llX Max "
                       "Allowed RecordLength:%d!\n",
             static_cast<int>(len), static_cast<unsigned long long>(ItemPosition(item)),
             static_cast<int>(cd->recLenFound));
  }
  cd->posInvalidFound = 0;
  seen = 1;
  cd->varLenFound = 1;
}

}  // namespace

int32_t WriteTagRecord(uint8_t* item) {
  CmdData* cd = pCmdData;
  cd->treeLevel = 0;
  cd->curItem = item;
  uint32_t len = ItemLength(item);
  if (cd->recLenFound == 0) {
    if (cd->recLenSpec != 0) {
      cd->recLenFound = cd->recLenSpec;
    } else {
      cd->recLenFound = (cd->allowVarLen && len < 256) ? 256 : len;
    }
  } else if (len != cd->recLenFound) {
    NoteLengthDeparture(item, len);
  }
  int32_t r = InsertKey(0);
  if (r == 0) return 0;
  return r == kErrTreeLevels ? kErrTreeLevels : -1;
}
