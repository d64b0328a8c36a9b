#include "support/power_loss_env.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>

namespace kt {

namespace {

std::string ReadWhole(const kel::Env* env, int fd) {
  std::string out;
  char buf[65536];
  for (uint64_t at = 0;;) {
    ssize_t n = env->pread(env, fd, buf, sizeof buf, at);
    if (n <= 0) return out;
    out.append(buf, static_cast<size_t>(n));
    at += static_cast<uint64_t>(n);
  }
}

void Put(std::string* file, uint64_t offset, const std::string& bytes) {
  if (file->size() < offset + bytes.size()) file->resize(offset + bytes.size(), '\0');
  file->replace(offset, bytes.size(), bytes);
}

}  // namespace

std::string PowerLossEnv::Where(uint64_t n, uint64_t calls, Keep keep) {
  return "power lost at call " + std::to_string(n) + " of " + std::to_string(calls) + ", keep " +
         std::to_string(static_cast<int>(keep));
}

PowerLossEnv* PowerLossEnv::Self(const kel::Env* env) {
  return const_cast<PowerLossEnv*>(static_cast<const PowerLossEnv*>(env));
}

bool PowerLossEnv::Step() {
  ++calls_;
  if (failAt_ != 0 && calls_ >= failAt_) lost_ = true;
  if (lost_) errno = EIO;
  return !lost_;
}

std::string PowerLossEnv::Absolute(const char* path) {
  std::string p = path;
  if (p.empty() || p[0] != '/') {
    char cwd[4096];
    p = std::string(getcwd(cwd, sizeof cwd) != nullptr ? cwd : "") + "/" + p;
  }
  for (size_t at; (at = p.find("/./")) != std::string::npos;) p.erase(at, 2);
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  if (p.size() > 2 && p.compare(p.size() - 2, 2, "/.") == 0) p.resize(p.size() - 2);
  return p;
}

std::string PowerLossEnv::DirOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}

PowerLossEnv::InodePtr PowerLossEnv::Track(const std::string& path) {
  seen_[path] = true;
  if (auto it = names_.find(path); it != names_.end()) return it->second;
  if (durable_.count(path) != 0) return nullptr;  // removed since its directory's sync
  int fd = base_->openFile(base_, path.c_str(), O_RDONLY, 0);
  if (fd < 0) return nullptr;
  struct stat st;
  InodePtr inode;
  if (base_->statFile(base_, fd, &st) == 0 && S_ISREG(st.st_mode)) {
    inode = std::make_shared<Inode>();
    inode->synced = ReadWhole(base_, fd);
    names_[path] = durable_[path] = inode;
  }
  base_->close(base_, fd);
  return inode;
}

void PowerLossEnv::Arm(uint64_t failAt) {
  failAt_ = failAt;
  calls_ = 0;
  lost_ = false;
  open_.clear();
  names_.clear();
  durable_.clear();
  seen_.clear();
}

void PowerLossEnv::Crash(Keep keep, uint32_t seed) {
  std::mt19937 rng(seed);
  auto kept = [&] { return keep == Keep::kAll || (keep == Keep::kSome && (rng() & 1) != 0); };
  for (const auto& [name, unused] : seen_) {
    auto it = keep == Keep::kAll ? names_.find(name) : durable_.find(name);
    bool exists = keep == Keep::kAll ? it != names_.end() : it != durable_.end();
    if (!exists || it->second == nullptr) {
      ::unlink(name.c_str());
      continue;
    }
    std::string file = it->second->synced;
    for (const Op& op : it->second->ops) {
      if (op.truncate) {
        if (kept()) file.resize(op.offset, '\0');
        continue;
      }
      for (uint64_t at = 0; at < op.bytes.size();) {
        uint64_t next = ((op.offset + at) / 512 + 1) * 512 - op.offset;
        if (next > op.bytes.size()) next = op.bytes.size();
        if (kept()) Put(&file, op.offset + at, op.bytes.substr(at, next - at));
        at = next;
      }
    }
    int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      if (::write(fd, file.data(), file.size()) != static_cast<ssize_t>(file.size())) {
        ::unlink(name.c_str());
      }
      ::close(fd);
    }
  }
  Arm(0);
}

PowerLossEnv::PowerLossEnv() : kel::Env(*kel::PosixEnv()), base_(kel::PosixEnv()) {
  using E = const kel::Env*;
  openFile = [](E e, const char* path, int flags, mode_t mode) {
    PowerLossEnv* s = Self(e);
    std::string name = Absolute(path);
    struct stat st;
    bool existed = s->base_->statPath(s->base_, path, &st) == 0;
    bool creates = (flags & O_CREAT) != 0 && !existed;
    bool cuts = (flags & O_TRUNC) != 0 && existed;
    if ((creates || cuts) && !s->Step()) return -1;
    InodePtr before = existed && S_ISREG(st.st_mode) ? s->Track(name) : nullptr;
    int fd = s->base_->openFile(s->base_, path, flags, mode);
    if (fd < 0) return fd;
    if (creates) {
      before = std::make_shared<Inode>();
      s->names_[name] = before;
      s->seen_[name] = true;
    } else if (cuts && before != nullptr) {
      before->ops.push_back({true, 0, {}});
    }
    if (before != nullptr) s->open_[fd] = before;
    return fd;
  };
  makeTemp = [](E e, char* name) {
    PowerLossEnv* s = Self(e);
    if (!s->Step()) return -1;
    int fd = s->base_->makeTemp(s->base_, name);
    if (fd >= 0) {
      auto inode = std::make_shared<Inode>();
      std::string abs = Absolute(name);
      s->names_[abs] = inode;
      s->seen_[abs] = true;
      s->open_[fd] = inode;
    }
    return fd;
  };
  write = [](E e, int fd, const void* buf, size_t len) -> ssize_t {
    PowerLossEnv* s = Self(e);
    auto it = s->open_.find(fd);
    if (it == s->open_.end()) return s->base_->write(s->base_, fd, buf, len);
    if (!s->Step()) return -1;
    off_t at = s->base_->seek(s->base_, fd, 0, SEEK_CUR);
    ssize_t n = s->base_->write(s->base_, fd, buf, len);
    if (n > 0 && at >= 0) {
      it->second->ops.push_back(
          {false, static_cast<uint64_t>(at), std::string(static_cast<const char*>(buf), n)});
    }
    return n;
  };
  truncate = [](E e, int fd, off_t length) {
    PowerLossEnv* s = Self(e);
    auto it = s->open_.find(fd);
    if (it == s->open_.end()) return s->base_->truncate(s->base_, fd, length);
    if (!s->Step()) return -1;
    int r = s->base_->truncate(s->base_, fd, length);
    if (r == 0) it->second->ops.push_back({true, static_cast<uint64_t>(length), {}});
    return r;
  };
  sync = [](E e, int fd) {
    PowerLossEnv* s = Self(e);
    auto it = s->open_.find(fd);
    if (it == s->open_.end()) return s->base_->sync(s->base_, fd);
    if (!s->Step()) return -1;
    Inode& inode = *it->second;
    for (const Op& op : inode.ops) {
      if (op.truncate) {
        inode.synced.resize(op.offset, '\0');
      } else {
        Put(&inode.synced, op.offset, op.bytes);
      }
    }
    inode.ops.clear();
    return 0;  // the model is what lasts; the disk need not be troubled
  };
  syncData = sync;  // the contents and length are all the model keeps
  // startWriteback stays the system's: it makes nothing durable.
  syncDirectory = [](E e, const char* path) {
    PowerLossEnv* s = Self(e);
    if (!s->Step()) return -1;
    std::string dir = Absolute(path);
    for (const auto& [name, unused] : s->seen_) {
      if (DirOf(name) != dir) continue;
      auto it = s->names_.find(name);
      if (it != s->names_.end()) {
        s->durable_[name] = it->second;
      } else {
        s->durable_.erase(name);
      }
    }
    struct stat st;
    return s->base_->statPath(s->base_, path, &st);
  };
  close = [](E e, int fd) {
    PowerLossEnv* s = Self(e);
    s->open_.erase(fd);
    return s->base_->close(s->base_, fd);
  };
  unlink = [](E e, const char* path) {
    PowerLossEnv* s = Self(e);
    std::string name = Absolute(path);
    if (!s->Step()) return -1;
    s->Track(name);
    int r = s->base_->unlink(s->base_, path);
    if (r == 0) s->names_.erase(name);
    return r;
  };
  rename = [](E e, const char* from, const char* to) {
    PowerLossEnv* s = Self(e);
    std::string a = Absolute(from), b = Absolute(to);
    if (!s->Step()) return -1;
    InodePtr moved = s->Track(a);
    s->Track(b);
    int r = s->base_->rename(s->base_, from, to);
    if (r == 0) {
      s->names_.erase(a);
      if (moved != nullptr) s->names_[b] = moved;
    }
    return r;
  };
}

}  // namespace kt
