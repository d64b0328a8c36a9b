#include "options/options_fixture.h"

#include <unistd.h>

#include <cstdlib>

#include "driver/cleanup.h"
#include "driver/sys_io.h"
#include "options/parser.h"

namespace ot {

void OptionsTest::SetUp() {
  for (const char* name : {"TMPDIR", "TERM", "QRX_TERM", "VEZOR_TERM", "QRX_PATH", "VEZOR_DBPATH",
                           "DBPATH", "QRX_FNC", "VEZOR_FNC", "QRX_SYSTEM", "VEZOR_DBC", "DBC",
                           "QRX_NOPATH", "QRXVOL_DATA", "QRX_DATA", "VEZOR_DATA"}) {
    SetEnv(name, nullptr);
  }
  SetEnv("TMPDIR", dir.path().c_str());
  recBuf_.assign(kRecBufSize, 0);
  ResetContext();
}

void OptionsTest::ResetContext() {
  if (cd != nullptr) ReleaseRun();
  kt::ResetRunContext();
  cd = pCmdData;
  cd->recBuf = recBuf_.data();
  cd->swapItem = cd->recBuf + kRecBufSwapOfs;
  msg_.Attach();
}

void OptionsTest::ReleaseRun() {
  for (int32_t* fd : {&cd->tmpFd1, &cd->tmpFd2, &cd->inFd, &cd->outFd, &cd->errFd}) {
    if (*fd > 0) close(*fd);
    *fd = -1;
  }
  for (char** p : {&cd->tmpName1, &cd->tmpName2, &cd->dbPath}) {
    if (*p != nullptr && p != &cd->dbPath) unlink(*p);  // as the clean-up would
    CmdFree(*p);
    *p = nullptr;
  }
}

void OptionsTest::TearDown() {
  SysSetFaultPlan(FaultPlan{});
  ReleaseRun();
  for (const auto& [name, value] : savedEnv_) {
    if (value) {
      setenv(name.c_str(), value->c_str(), 1);
    } else {
      unsetenv(name.c_str());
    }
  }
}

void OptionsTest::SetEnv(const char* name, const char* value) {
  if (savedEnv_.find(name) == savedEnv_.end()) {
    const char* old = getenv(name);
    savedEnv_[name] = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
  }
  if (value != nullptr) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
}

char* OptionsTest::KeepText(const std::string& text) {
  texts_.emplace_back(text.begin(), text.end());
  texts_.back().push_back('\0');
  return texts_.back().data();
}

Status OptionsTest::Parse(const std::string& text) {
  return ParseCommandText(KeepText(text));
}

Status OptionsTest::ParseMain(const std::string& text) {
  return parseMain(KeepText(text));
}

std::string OptionsTest::Columns() const {
  std::string s;
  for (int32_t i = 0; i < cd->colCount; ++i) {
    const ColumnEntry& e = cd->colTable[i];
    s += (s.empty() ? "" : " ") + std::to_string(e.column + 1) + ':' + std::to_string(e.keyPos) +
         ':' + std::to_string(e.flags);
    if (e.matchChar != 0) s += std::string(":") + static_cast<char>(e.matchChar);
  }
  return s;
}

std::string OptionsTest::Specs() const {
  std::string s;
  for (int i = 0; i < kMaxKeySpecs && cd->keySpecTable[i].length != 0; ++i) {
    s += (s.empty() ? "" : " ") + std::to_string(cd->keySpecTable[i].first) + ':' +
         std::to_string(cd->keySpecTable[i].length);
  }
  return s;
}

std::vector<std::string> OptionsTest::WorkFiles() const {
  std::vector<std::string> found;
  for (const std::string& name : dir.list()) {
    if (name.rfind("dsort", 0) == 0) found.push_back(name);
  }
  return found;
}

}  // namespace ot
