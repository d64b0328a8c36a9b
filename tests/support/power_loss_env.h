// PowerLossEnv: an Env that remembers what a power loss would take away.
// It passes every call on to the operating system and keeps, per file
// (inode), the contents as of its last sync and every write and truncation
// since, and per name the file it named as of its directory's last sync.
// At a chosen mutating call (a write, truncation, sync, directory sync,
// creation, rename or removal) the power goes: that call and every later
// mutating call fail with EIO. Crash() then lays the files on disk out as
// the machine would find them on restart: each file its synced contents
// plus none, some (in 512-byte pieces, seeded) or all of the later writes,
// and each name as of its directory's last sync (a created file vanishes, a
// removed or renamed-over one comes back with its synced contents).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/env.h"

namespace kt {

class PowerLossEnv : public kel::Env {
 public:
  enum class Keep { kNone, kSome, kAll };
  static constexpr Keep kKeeps[] = {Keep::kNone, Keep::kSome, Keep::kAll};
  // "power lost at call n of calls, keep k": where a test's loss was.
  static std::string Where(uint64_t n, uint64_t calls, Keep keep);

  PowerLossEnv();
  // Forgets everything and arms the loss at the n-th mutating call from now
  // (0: never); the files as they are now count as durable.
  void Arm(uint64_t failAt);
  // Mutating calls since Arm.
  uint64_t Calls() const { return calls_; }
  bool Lost() const { return lost_; }
  // Rewrites the files it saw as a restart finds them (see above); `seed`
  // chooses the pieces that kSome keeps.
  void Crash(Keep keep, uint32_t seed);

 private:
  struct Op {
    bool truncate;
    uint64_t offset;  // of the write; the truncation's length
    std::string bytes;
  };
  struct Inode {
    std::string synced;   // contents as of the last sync
    std::vector<Op> ops;  // since
  };
  using InodePtr = std::shared_ptr<Inode>;

  static PowerLossEnv* Self(const kel::Env* env);
  // Counts a mutating call; false (errno EIO) when the power is gone.
  bool Step();
  static std::string Absolute(const char* path);
  static std::string DirOf(const std::string& path);
  // The file a name stands for now; a file made by no call seen here is
  // taken as durable as it is.
  InodePtr Track(const std::string& path);

  const kel::Env* base_;
  uint64_t failAt_ = 0, calls_ = 0;
  bool lost_ = false;
  std::map<int, InodePtr> open_;
  std::map<std::string, InodePtr> names_;    // as they are
  std::map<std::string, InodePtr> durable_;  // as of each directory's last sync
  std::map<std::string, bool> seen_;         // every name touched
};

}  // namespace kt
