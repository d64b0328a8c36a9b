// The built kelindex gives the same index, byte for byte, whichever way its
// sort is run: the Shell sort (-0) or the quicksort (-1), a sort memory that
// holds everything at once, the default one, or one so small that the
// trains need two or three merge passes; short keys and the longest ones.
// The order of sort items is total, so the memory and the method may change
// the work, never the result. One run of each data set is also checked
// against an independent sort of its keys through an independent reader.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "support/isi_reader.h"
#include "support/test_util.h"

namespace {

// -m below half the current maximum is refused, so a small sort memory is
// reached by halving it step by step.
const std::vector<std::string> kSmallMemory = {"-m524288", "-m262144", "-m131072", "-m65536",
                                               "-m32768",  "-m16384",  "-m8192"};
const std::vector<std::string> kLargeMemory = {"-m268435456"};

struct Record {
  std::string key;
  uint32_t number;  // record number, which breaks ties between equal keys
};

class BuildInvarianceTest : public ::testing::Test {
 protected:
  // Writes `count` records of `recLen` bytes (LF included), each with a
  // key of `keyLen` bytes at column 1, drawn so that neighbours often share
  // long prefixes and some keys repeat.
  void WriteData(uint32_t count, uint32_t recLen, uint32_t keyLen, bool sorted, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string data;
    records.clear();
    std::vector<std::string> keys;
    for (uint32_t i = 0; i < count; ++i) {
      std::string key(keyLen, 'a');
      uint32_t varied = 1 + rng() % std::min<uint32_t>(keyLen, 6);
      for (uint32_t k = keyLen - varied; k < keyLen; ++k)
        key[k] = static_cast<char>('0' + rng() % 4);
      if (keyLen > 8) key[rng() % 4] = static_cast<char>('A' + rng() % 3);
      keys.push_back(key);
    }
    if (sorted) std::sort(keys.begin(), keys.end());
    for (uint32_t i = 0; i < count; ++i) {
      std::string rec = keys[i] + std::string(recLen - 1 - keyLen, static_cast<char>('a' + i % 26));
      data += rec + "\n";
      records.push_back(Record{keys[i], i});
    }
    dataBytes = data;
  }

  // Builds the index in a directory of its own, beside its own copy of the
  // data (the same relative names, so that the stored command lines agree),
  // and returns the ISI bytes.
  std::string Build(const std::string& run, const std::vector<std::string>& leading,
                    const std::string& keySpec, std::string* counts = nullptr) {
    std::string sub = dir.file(run);
    EXPECT_EQ(mkdir(sub.c_str(), 0755), 0) << sub;
    kt::WriteFileBytes(sub + "/data.txt", dataBytes);
    std::vector<std::string> args = leading;
    args.push_back("data.txt,out.isi");
    args.push_back("-" + keySpec);
    kt::RunOptions opts;
    opts.cwd = sub;
    kt::RunResult r = kt::RunKelindex(args, opts);
    EXPECT_EQ(r.exitCode, 0) << run << "\n" << r.out;
    if (counts != nullptr) {
      size_t at = r.out.find(" records, ");
      size_t lineStart = r.out.rfind('\n', at);
      *counts = r.out.substr(lineStart + 1, r.out.find('\n', at) - lineStart - 1);
    }
    return kt::ReadFileBytes(sub + "/out.isi");
  }

  // The index holds every record once, keys ascending, equal keys in
  // record order.
  void ExpectKeyOrder(const std::string& isiBytes, uint32_t recLen) {
    isir::IsiReader isi;
    std::string err;
    ASSERT_TRUE(isi.Load(isiBytes, &err)) << err;
    EXPECT_TRUE(isi.Validate(&err)) << err;
    std::vector<isir::Entry> entries;
    ASSERT_TRUE(isi.Walk(&entries, &err)) << err;
    std::vector<Record> want = records;
    std::stable_sort(want.begin(), want.end(),
                     [](const Record& a, const Record& b) { return a.key < b.key; });
    ASSERT_EQ(entries.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
      ASSERT_EQ(entries[i].key, want[i].key) << i;
      ASSERT_EQ(entries[i].recPos, want[i].number) << i;  // record numbers, recLen each
      ASSERT_EQ(entries[i].recSize, recLen) << i;
    }
  }

  // Every way of sorting gives the same bytes and the same counts.
  void ExpectSameIndexEverywhere(const std::string& keySpec, uint32_t recLen) {
    std::string counts0;
    std::string reference = Build("shell-default", {}, keySpec, &counts0);
    ASSERT_FALSE(reference.empty());
    ExpectKeyOrder(reference, recLen);
    struct Way {
      const char* name;
      std::vector<std::string> leading;
    };
    auto with = [](std::vector<std::string> v, const char* method) {
      v.push_back(method);
      return v;
    };
    const std::vector<Way> ways = {{"quick-default", {"-1"}},
                                   {"shell-large", with(kLargeMemory, "-0")},
                                   {"quick-large", with(kLargeMemory, "-1")},
                                   {"shell-small", kSmallMemory},
                                   {"quick-small", with(kSmallMemory, "-1")}};
    for (const Way& w : ways) {
      std::string counts;
      EXPECT_TRUE(Build(w.name, w.leading, keySpec, &counts) == reference)
          << w.name << ": the index differs";
      EXPECT_EQ(counts, counts0) << w.name;
    }
  }

  kt::TempDir dir;
  std::string dataBytes;
  std::vector<Record> records;
};

TEST_F(BuildInvarianceTest, ShortKeysOfRandomData) {
  // 30,000 records: one sub-list of the large memory, a single merge pass
  // at the default memory, over 100 trains and two passes at 8 KiB.
  WriteData(30000, 40, 10, false, 1);
  ExpectSameIndexEverywhere("1-10", 40);
}

TEST_F(BuildInvarianceTest, KeysOfOddLengthWithinTheRecord) {
  WriteData(20000, 40, 13, false, 2);
  ExpectSameIndexEverywhere("1-13", 40);
}

TEST_F(BuildInvarianceTest, AlreadySortedDataMakesOneTrainAtAnyMemory) {
  WriteData(20000, 30, 10, true, 3);
  ExpectSameIndexEverywhere("1-10", 30);
}

TEST_F(BuildInvarianceTest, LongestKeysNeedThreeMergePasses) {
  // 150-byte keys in 8 KiB hold 46 items per sub-list: 43,000 records make
  // more than 900 trains, which take three merge passes.
  WriteData(43000, 152, 150, false, 4);
  ExpectSameIndexEverywhere("1-150", 152);
}

}  // namespace
