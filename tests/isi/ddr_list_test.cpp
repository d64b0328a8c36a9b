// The deleted-record list under byte addressing, which the end-to-end
// tests (whose builds keep deleted records only under record numbers)
// cannot reach: offsets in the entries and the links, the head at 1536.
#include "isi/ddr_list.h"

#include "isi_fixture.h"

namespace isitest {
namespace {

TEST_F(IsiFixture, ByteAddressedChainHoldsOffsets) {
  cd()->recNumMode = 0;
  Begin(10);
  cd()->recLenFound = 10;
  for (int i = 0; i < 127; ++i) {  // deleted records of 10 bytes at every other position
    cd()->recStartPos = uint64_t(i) * 20;
    ++cd()->deletedCount;
    ASSERT_EQ(InsertDDRN(), kOk);
  }
  AddNumbered(25);
  ASSERT_EQ(IsiBuildFinish(), kOk);
  isir::IsiReader isi = ReadIsi();
  std::vector<isir::DdrSector> chain;
  ASSERT_TRUE(isi.DdrChain(&chain));
  ASSERT_EQ(chain.size(), 2u);
  EXPECT_EQ(isi.header().ddrHead, 1536u);
  EXPECT_EQ(chain[0].link, 2048u);
  EXPECT_EQ(chain[1].pos, 2048u);
  std::vector<uint32_t> positions = chain[1].positions;
  positions.insert(positions.end(), chain[0].positions.begin(), chain[0].positions.end());
  ASSERT_EQ(positions.size(), 127u);
  for (uint32_t i = 0; i < 127; ++i) EXPECT_EQ(positions[i], 20 * i);
}

}  // namespace
}  // namespace isitest
