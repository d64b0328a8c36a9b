// The built kelindex gives the same index, byte for byte, whichever way its
// sort is run: the Shell sort (-0) or the quicksort (-1), a sort memory that
// holds everything at once, the default one, or one so small that the
// trains need two or three merge passes; short keys and the longest ones.
// The order of sort items is total, so the memory and the method may change
// the work, never the result. One run of each data set is also held against
// an independent sort of its keys through the independent reader.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "support/isi_reader.h"
#include "support/test_util.h"

namespace {

TEST(BuildInvarianceTest, SameIndexWhateverTheSortMemoryAndMethod) {
  // -m below half the current maximum is refused: a small sort memory is
  // reached by halving it step by step.
  const std::vector<std::string> small = {"-m524288", "-m262144", "-m131072", "-m65536",
                                          "-m32768",  "-m16384",  "-m8192"};
  auto with = [](std::vector<std::string> v, const char* method) {
    v.push_back(method);
    return v;
  };
  const std::vector<std::vector<std::string>> ways = {
      {}, {"-1"}, {"-m268435456", "-0"}, {"-m268435456", "-1"}, small, with(small, "-1")};
  const struct {
    uint32_t count, recLen, keyLen;
    bool sorted;
  } cases[] = {
      // 30,000 records: one sub-list of the large memory, a single merge pass
      // at the default one, over 100 trains and two passes at 8 KiB.
      {30000, 40, 10, false},
      {20000, 40, 13, false},  // keys of odd length within the record
      {20000, 30, 10, true},   // already sorted: one train at any memory
      // 150-byte keys in 8 KiB: 46 items a sub-list, more than 900 trains,
      // three merge passes.
      {43000, 152, 150, false},
  };
  std::mt19937 rng(1);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keyLen);
    // Keys drawn so that neighbours often share long prefixes and some repeat.
    std::vector<std::string> keys;
    for (uint32_t i = 0; i < c.count; ++i) {
      std::string key(c.keyLen, 'a');
      uint32_t varied = 1 + rng() % std::min<uint32_t>(c.keyLen, 6);
      for (uint32_t k = c.keyLen - varied; k < c.keyLen; ++k) key[k] = '0' + rng() % 4;
      if (c.keyLen > 8) key[rng() % 4] = static_cast<char>('A' + rng() % 3);
      keys.push_back(key);
    }
    if (c.sorted) std::sort(keys.begin(), keys.end());
    std::string data;
    for (uint32_t i = 0; i < c.count; ++i) {
      data +=
          keys[i] + std::string(c.recLen - 1 - c.keyLen, static_cast<char>('a' + i % 26)) + "\n";
    }
    std::string reference, counts;
    for (size_t w = 0; w < ways.size(); ++w) {
      // Each in a directory of its own beside the same relative names, so
      // that the stored command lines agree.
      kt::TempDir dir;
      dir.write("data.txt", data);
      std::vector<std::string> args = ways[w];
      args.insert(args.end(), {"data.txt,out.isi", "-1-" + std::to_string(c.keyLen)});
      kt::RunOptions opts;
      opts.cwd = dir.path();
      kt::RunResult r = kt::RunKelindex(args, opts);
      ASSERT_EQ(r.exitCode, 0) << r.out;
      size_t at = r.out.find(" records, "), start = r.out.rfind('\n', at) + 1;
      std::string line = r.out.substr(start, r.out.find('\n', at) - start);
      if (w > 0) {
        EXPECT_TRUE(dir.read("out.isi") == reference) << "way " << w << ": the index differs";
        EXPECT_EQ(line, counts) << "way " << w;
        continue;
      }
      reference = dir.read("out.isi");
      counts = line;
      // Every record once, keys ascending, equal keys in record order.
      isir::IsiReader isi;
      std::string err;
      std::vector<isir::Entry> entries;
      ASSERT_TRUE(isi.Load(reference, &err) && isi.Validate(&err) && isi.Walk(&entries, &err))
          << err;
      std::vector<uint32_t> order(c.count);
      for (uint32_t i = 0; i < c.count; ++i) order[i] = i;
      std::stable_sort(order.begin(), order.end(),
                       [&](uint32_t a, uint32_t b) { return keys[a] < keys[b]; });
      ASSERT_EQ(entries.size(), order.size());
      for (size_t i = 0; i < order.size(); ++i) {
        ASSERT_EQ(entries[i].key, keys[order[i]]) << i;
        ASSERT_EQ(entries[i].recPos, order[i]) << i;  // record numbers
        ASSERT_EQ(entries[i].recSize, c.recLen) << i;
      }
    }
  }
}

}  // namespace
