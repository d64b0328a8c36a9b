#include "support/keyed_data.h"

#include <algorithm>
#include <random>

#include "support/isi_reader.h"

namespace kt {

KeyedData MakeKeyedData(int records, int keyLen, int deletedEvery, uint32_t seed) {
  KeyedData d;
  d.keyLen = keyLen;
  std::mt19937 rng(seed);
  for (int i = 0; i < records; ++i) {
    auto n = static_cast<uint32_t>(i);
    if (i > 0 && deletedEvery > 0 && i % deletedEvery == 0) {
      d.bytes.append(static_cast<size_t>(keyLen) + 1, '\0');
      d.deleted.push_back(n);
      continue;
    }
    std::string key;
    for (int k = 0; k < keyLen; ++k) key.push_back(static_cast<char>('A' + rng() % 10));
    d.bytes += key + "\n";
    d.entries.emplace_back(key, n);
  }
  std::sort(d.entries.begin(), d.entries.end());
  return d;
}

std::string CheckIndexOf(const KeyedData& data, const std::string& path) {
  isir::IsiReader isi;
  std::string err;
  if (!isi.LoadFile(path, &err) || !isi.Validate(&err)) return err;
  std::vector<isir::Entry> walk;
  if (!isi.Walk(&walk, &err)) return err;
  if (walk.size() != data.entries.size()) {
    return "index holds " + std::to_string(walk.size()) + " entries, not " +
           std::to_string(data.entries.size());
  }
  for (size_t i = 0; i < walk.size(); ++i) {
    if (walk[i].key != data.entries[i].first || walk[i].recPos != data.entries[i].second) {
      return "entry " + std::to_string(i) + " differs";
    }
  }
  std::vector<isir::DdrSector> chain;
  if (!isi.DdrChain(&chain, &err)) return err;
  std::vector<uint32_t> deleted;
  for (auto s = chain.rbegin(); s != chain.rend(); ++s) {
    deleted.insert(deleted.end(), s->positions.begin(), s->positions.end());
  }
  if (deleted != data.deleted) return "deleted-record chain differs";
  return "";
}

}  // namespace kt
