#include "compact/compact_test_util.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "driver/cmd_data.h"

namespace ct {

MessageCapture::MessageCapture() {
  stream_ = open_memstream(&buf_, &len_);
  pCmdData->msgOut = stream_;
}

MessageCapture::~MessageCapture() {
  if (pCmdData->msgOut == stream_) pCmdData->msgOut = nullptr;
  fclose(stream_);
  free(buf_);
}

std::string MessageCapture::text() {
  fflush(stream_);
  return std::string(buf_, len_);
}

namespace {

struct flock Region(short type, uint64_t start, uint64_t length) {
  struct flock fl = {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(start);
  fl.l_len = static_cast<off_t>(length);
  return fl;
}

}  // namespace

LockHolder::LockHolder(const std::string& path, short type, uint64_t start, uint64_t length,
                       int holdMillis, std::function<void()> beforeRelease) {
  int ready[2], release[2];
  if (pipe(ready) != 0) return;
  if (pipe(release) != 0) {
    close(ready[0]);
    close(ready[1]);
    return;
  }
  pid_ = fork();
  if (pid_ == 0) {
    close(ready[0]);
    close(release[1]);
    int fd = open(path.c_str(), O_RDWR);
    struct flock fl = Region(type, start, length);
    char ok = (fd >= 0 && fcntl(fd, F_SETLK, &fl) == 0) ? 1 : 0;
    if (write(ready[1], &ok, 1) != 1) _exit(2);
    pollfd p = {release[0], POLLIN, 0};
    poll(&p, 1, holdMillis);  // until released, closed or the time is up
    if (ok && beforeRelease) beforeRelease();
    _exit(ok ? 0 : 1);
  }
  close(ready[1]);
  close(release[0]);
  releaseFd_ = release[1];
  char ok = 0;
  pollfd p = {ready[0], POLLIN, 0};
  if (pid_ > 0 && poll(&p, 1, 10000) == 1 && read(ready[0], &ok, 1) == 1) holding_ = ok == 1;
  close(ready[0]);
}

void LockHolder::Release() {
  if (releaseFd_ >= 0) {
    close(releaseFd_);
    releaseFd_ = -1;
  }
  if (pid_ > 0) {
    int status;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  holding_ = false;
}

LockHolder::~LockHolder() {
  Release();
}

bool OtherProcessCanLock(const std::string& path, short type, uint64_t start, uint64_t length) {
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(path.c_str(), O_RDWR);
    struct flock fl = Region(type, start, length);
    _exit(fd >= 0 && fcntl(fd, F_SETLK, &fl) == 0 ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace ct
