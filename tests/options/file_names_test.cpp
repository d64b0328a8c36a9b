// File names: the name/ext and volume conversions, splitting and joining,
// the named settings, the data-path search, creating output files and the
// text helpers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "driver/sys_io.h"
#include "options/file_names.h"
#include "options/options_fixture.h"
#include "options/parse_steps.h"
#include "options/parser.h"

namespace {

// Runs the rest of a test in a directory and comes back.
class InDirectory {
 public:
  explicit InDirectory(const std::string& path) {
    if (getcwd(old_, sizeof old_) == nullptr) old_[0] = '\0';
    EXPECT_EQ(chdir(path.c_str()), 0);
  }
  ~InDirectory() {
    if (old_[0] != '\0' && chdir(old_) != 0) ADD_FAILURE() << "cannot return to " << old_;
  }

 private:
  char old_[PATH_MAX];
};

class FileNamesTest : public ot::OptionsTest {
 protected:
  // Converts `name` as the callers do (a 512-byte buffer, room 256); the
  // length returned in *len.
  std::string Convert(const std::string& name, uint32_t* len = nullptr) {
    char buf[kNameSize] = {};
    strcpy(buf, name.c_str());
    uint32_t n = Dpt2KelFormatUtil(buf, 256, cd->nameFmtChar, 0);
    if (len != nullptr) *len = n;
    return buf;
  }
};

TEST_F(FileNamesTest, SlashBeforeAnExtensionAndVolumes) {
  InDirectory here(dir.path());
  ASSERT_EQ(mkdir("sub", 0755), 0);
  const std::string longDir = "/" + std::string(250, 'v'), fits = longDir.substr(0, 250);
  const struct {
    const char* volume;  // QRXVOL_DATA
    std::string name, converted;
    uint32_t len;
  } cases[] = {
      {nullptr, "name/txt", "name.txt", 8},
      {nullptr, "sub/file", "sub/file", 8},       // a directory: a path
      {nullptr, "a/b/c", "a/b/c", 5},             // two '/': a path
      {nullptr, "name/x.txt", "name/x.txt", 10},  // the '.' is met first
      {nullptr, "/abs", "/abs", 4},               // the first character is not looked at
      {nullptr, "a|b/c", "a|b/c", 5},
      {nullptr, "", "", 0},
      {nullptr, "name/txt:data", "name.txt:data", 13},  // unknown volume
      {"/srv/files", "name/txt:data", "/srv/files/name.txt", 19},
      {"/srv/files", "name:DATA", "/srv/files/name", 15},  // looked up in upper case
      {"/srv/files", "dir/sub.x/name/txt:data", "/srv/files/dir/sub.x/name.txt", 29},
      {"/srv/files/", "name/txt:data", "/srv/files/name.txt", 19},
      {"vol:", "name:data", "vol:name", 8},
      {longDir.c_str(), "name:data", "name:data", 0},    // too long: refused and left as it was
      {fits.c_str(), "name:data", fits + "/name", 255},  // 250 + '/' + 4
  };
  for (const auto& c : cases) {
    SetEnv("QRXVOL_DATA", c.volume);
    uint32_t len = 99;
    EXPECT_EQ(Convert(c.name, &len), c.converted) << c.name;
    EXPECT_EQ(len, c.len) << c.name;
  }
  cd->nameFmtChar = '!';
  EXPECT_EQ(Convert("name/txt"), "name!txt");
  SetEnv("QRXVOL_DATA", nullptr);
  SetEnv("QRX_DATA", "");  // set but empty names no directory
  SetEnv("VEZOR_DATA", "/v");
  EXPECT_EQ(Convert("n:data"), "/v/n");
  SetEnv("QRX_DATA", "/q");
  EXPECT_EQ(Convert("n:data"), "/q/n");
}

TEST_F(FileNamesTest, UnexaminableDirectoryKeepsThePath) {
  SysSetFaultPlan({kFaultMeta, 1, EACCES});
  EXPECT_EQ(Convert("locked/file"), "locked/file");
  SysSetFaultPlan({kFaultMeta, 1, ENOENT});
  EXPECT_EQ(Convert("locked/file"), "locked.file");
}

TEST(NameParts, SplitAndRefuseWhatDoesNotFit) {
  const std::string d249 = std::string(248, 'd') + "/";
  const struct {
    std::string path;
    bool ok;
    const char *dir, *base, *ext;
  } cases[] = {
      {"dir.x/name", true, "dir.x/", "name", ""},
      {"name.", true, "", "name", "."},
      {"/a/b/c.txt", true, "/a/b/", "c", ".txt"},
      {"a.b.c", true, "", "a.b", ".c"},
      {"dir/", true, "dir/", "", ""},
      {"", true, "", "", ""},
      {"n.1234", true, "", "n", ".1234"},
      {d249 + "n.x", true, nullptr, "n", ".x"},
      {std::string(59, 'b') + ".x", true, "", nullptr, ".x"},
      {"d" + d249 + "n.x", false, "", nullptr, nullptr},
      {std::string(60, 'b') + ".x", false, nullptr, nullptr, nullptr},
      {"n.12345", false, nullptr, nullptr, nullptr},
      {".profile", false, nullptr, nullptr, nullptr},
  };
  for (const auto& c : cases) {
    char drive[kDriveSize], dir[kDirSize], base[kBaseSize], ext[kExtSize];
    EXPECT_EQ(_splitpath(c.path.c_str(), drive, dir, base, ext), c.ok) << c.path;
    if (c.ok) {
      EXPECT_STREQ(drive, "");
    }
    if (c.dir != nullptr) {
      EXPECT_STREQ(dir, c.dir) << c.path;
    }
    if (c.base != nullptr) {
      EXPECT_STREQ(base, c.base) << c.path;
    }
    if (c.ext != nullptr) {
      EXPECT_STREQ(ext, c.ext) << c.path;
    }
  }
}

TEST_F(FileNamesTest, JoinFoldsCaseWhenAsked) {
  char dest[kNameSize];
  ASSERT_TRUE(_makepath(dest, "", "Data/", "File", ".TXT"));
  EXPECT_STREQ(dest, "Data/File.TXT");
  cd->lowerCaseNames = 1;
  ASSERT_TRUE(_makepath(dest, "", "Data/", "File", ".TXT"));
  EXPECT_STREQ(dest, "data/file.txt");
  strcpy(dest, "keep");
  EXPECT_FALSE(
      _makepath(dest, "", std::string(300, 'd').c_str(), std::string(300, 'b').c_str(), ""));
  EXPECT_STREQ(dest, "keep");
}

TEST_F(FileNamesTest, NamedSettings) {
  const struct {
    const char *qrx, *vezor;
    uint8_t lower;
  } cases[] = {{nullptr, nullptr, 0}, {"yes", nullptr, 1}, {"mIxEd", nullptr, 0},
               {nullptr, "x", 1},     {"Mixed", "x", 0},   {"", nullptr, 1}};
  for (const auto& c : cases) {
    ResetContext();
    SetEnv("QRX_FNC", c.qrx);
    SetEnv("VEZOR_FNC", c.vezor);
    ASSERT_EQ(ReadNamedSettings(), kOk);
    EXPECT_EQ(cd->lowerCaseNames, c.lower) << (c.qrx ? c.qrx : "-") << (c.vezor ? c.vezor : "-");
  }
  SetEnv("DBPATH", "/c");
  SetEnv("VEZOR_DBPATH", "/b");
  ASSERT_EQ(ReadNamedSettings(), kOk);
  EXPECT_STREQ(cd->dbPath, "/b");
  SetEnv("QRX_PATH", "/a");
  ASSERT_EQ(ReadNamedSettings(), kOk);  // read again, the new value replaces the old
  EXPECT_STREQ(cd->dbPath, "/a");
}

TEST_F(FileNamesTest, FindAlongTheDataPath) {
  for (const char* sub : {"a", "b", "cwd"}) ASSERT_EQ(mkdir(dir.file(sub).c_str(), 0755), 0);
  dir.write("b/f.txt", "x");
  InDirectory here(dir.file("cwd"));
  std::string path = dir.file("a") + "::" + dir.file("b");
  char found[kDirSize] = "unchanged";
  uint32_t n = FindFile("f.txt", found, path.c_str());
  EXPECT_EQ(std::string(found), dir.file("b") + "/");
  EXPECT_EQ(n, dir.file("b").size() + 1);
  // A directory too long for the work buffer is passed over.
  std::string withLong = "/" + std::string(600, 'x') + ":" + dir.file("b");
  EXPECT_EQ(FindFile("f.txt", found, withLong.c_str()), n);
  // Only a file that opens for reading and writing is found: the second
  // open (the candidate in b) is refused as for a read-only file.
  SysSetFaultPlan({kFaultOpen, 2, EACCES});
  EXPECT_EQ(FindFile("f.txt", found, dir.file("b").c_str()), 0u);
  EXPECT_TRUE(SysFaultFired());
  SysSetFaultPlan(FaultPlan{});
  dir.write("cwd/f.txt", "here");  // present here: stays bare
  EXPECT_EQ(FindFile("f.txt", found, path.c_str()), 0u);
  EXPECT_EQ(FindFile("sub/f.txt", found, path.c_str()), 0u);
  EXPECT_EQ(FindFile("none", found, path.c_str()), 0u);
  char first[16];
  EXPECT_EQ(getDBPATH("abc:def", first), 3u);
  EXPECT_EQ(std::string(first, 3), "abc");
  EXPECT_EQ(getDBPATH(":x", first), 0u);
  EXPECT_EQ(getDBPATH("last", first), 4u);
}

TEST_F(FileNamesTest, CreateExclusiveTruncatesAnExistingFile) {
  dir.write("old.ISI", "previous contents");
  for (const char* name : {"old.ISI", "new.ISI"}) {
    int fd = CreateExclusive(dir.file(name).c_str());
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(dir.read(name), "");
  }
  EXPECT_EQ(CreateExclusive(dir.file("none/x.ISI").c_str()), -1);
}

TEST(TextHelpers, CaseAndDirectories) {
  EXPECT_EQ(strcmpi("Mixed", "mIXED"), 0);
  EXPECT_NE(strcmpi("ON", "of"), 0);
  EXPECT_NE(strcmpi("ON", "ONE"), 0);
  EXPECT_EQ(KelStrCmp("a", "a"), 0);
  EXPECT_NE(KelStrCmp("a", "A"), 0);
  char text[] = "AbC-Z\xc4";
  ToLower(text);
  EXPECT_STREQ(text, "abc-z\xc4");
  EXPECT_EQ(ToUpperC('q'), 'Q');
  EXPECT_EQ(ToUpperC('{'), '{');
  EXPECT_EQ(ToUpperC('\xe4'), '\xe4');
  for (const auto& [in, out] : {std::pair{"/a/b/c", "c"}, {"c", "c"}, {"a/", ""}}) {
    char name[16];
    strcpy(name, in);
    StripDirectory(name);
    EXPECT_STREQ(name, out) << in;
  }
}

}  // namespace
