// File names: the name/ext and volume conversions, splitting and joining,
// the data-path search, creating output files and the text helpers.
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

// Runs the test body in a directory and comes back.
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
  // Converts `name` as the callers do (a 512-byte buffer, room 256).
  std::string Convert(const std::string& name, uint32_t* len = nullptr) {
    char buf[kNameSize] = {};
    strcpy(buf, name.c_str());
    uint32_t n = Dpt2KelFormatUtil(buf, 256, cd->nameFmtChar, 0);
    if (len != nullptr) *len = n;
    return buf;
  }
};

TEST_F(FileNamesTest, SlashBeforeAnExtension) {
  InDirectory here(dir.path());
  ASSERT_EQ(mkdir("sub", 0755), 0);
  uint32_t len = 0;
  EXPECT_EQ(Convert("name/txt", &len), "name.txt");
  EXPECT_EQ(len, 8u);
  EXPECT_EQ(Convert("sub/file"), "sub/file");  // a directory: a path
  EXPECT_EQ(Convert("a/b/c"), "a/b/c");        // two '/': a path
  EXPECT_EQ(Convert("name.txt"), "name.txt");
  EXPECT_EQ(Convert("name/x.txt"), "name/x.txt");  // the '.' is met first
  EXPECT_EQ(Convert("/abs"), "/abs");              // the first character is not looked at
  EXPECT_EQ(Convert("a|b/c"), "a|b/c");
  EXPECT_EQ(Convert("", &len), "");
  EXPECT_EQ(len, 0u);
  cd->nameFmtChar = '!';
  EXPECT_EQ(Convert("name/txt"), "name!txt");
}

TEST_F(FileNamesTest, UnexaminableDirectoryKeepsThePath) {
  FaultPlan plan;
  plan.classes = kFaultMeta;
  plan.failAt = 1;
  plan.err = EACCES;
  SysSetFaultPlan(plan);
  EXPECT_EQ(Convert("locked/file"), "locked/file");
  plan.err = ENOENT;
  SysSetFaultPlan(plan);
  EXPECT_EQ(Convert("locked/file"), "locked.file");
}

TEST_F(FileNamesTest, Volumes) {
  SetEnv("QRXVOL_DATA", "/srv/files");
  EXPECT_EQ(Convert("name/txt:data"), "/srv/files/name.txt");
  EXPECT_EQ(Convert("name:DATA"), "/srv/files/name");  // looked up in upper case
  EXPECT_EQ(Convert("dir/sub.x/name/txt:data"), "/srv/files/dir/sub.x/name.txt");
  SetEnv("QRXVOL_DATA", "/srv/files/");
  EXPECT_EQ(Convert("name/txt:data"), "/srv/files/name.txt");
  SetEnv("QRXVOL_DATA", "vol:");
  EXPECT_EQ(Convert("name:data"), "vol:name");
  SetEnv("QRXVOL_DATA", nullptr);
  SetEnv("QRX_DATA", "/q");
  SetEnv("VEZOR_DATA", "/v");
  EXPECT_EQ(Convert("n:data"), "/q/n");
  SetEnv("QRX_DATA", "");  // set but empty names no directory
  EXPECT_EQ(Convert("n:data"), "/v/n");
  SetEnv("VEZOR_DATA", nullptr);
  EXPECT_EQ(Convert("name/txt:data"), "name.txt:data");  // unknown volume
}

TEST_F(FileNamesTest, VolumeResultMustFitTheRoom) {
  std::string longDir = "/" + std::string(250, 'v');
  SetEnv("QRXVOL_DATA", longDir.c_str());
  uint32_t len = 1;
  EXPECT_EQ(Convert("name:data", &len), "name:data");  // refused and left as it was
  EXPECT_EQ(len, 0u);
  SetEnv("QRXVOL_DATA", longDir.substr(0, 250).c_str());  // 250 + '/' + 4 = 255 fits
  EXPECT_EQ(Convert("name:data", &len).size(), 255u);
  EXPECT_EQ(len, 255u);
  SetEnv("QRXVOL_DATA", std::string(300, 'v').c_str());
  EXPECT_EQ(Convert("n:data", &len), "n:data");
  EXPECT_EQ(len, 0u);
}

TEST(NameParts, Split) {
  const struct {
    const char* path;
    const char *dir, *base, *ext;
  } cases[] = {{"dir.x/name", "dir.x/", "name", ""},
               {"name.", "", "name", "."},
               {"/a/b/c.txt", "/a/b/", "c", ".txt"},
               {"a.b.c", "", "a.b", ".c"},
               {"dir/", "dir/", "", ""},
               {"", "", "", ""}};
  for (const auto& c : cases) {
    char drive[kDriveSize], dir[kDirSize], base[kBaseSize], ext[kExtSize];
    ASSERT_TRUE(_splitpath(c.path, drive, dir, base, ext)) << c.path;
    EXPECT_STREQ(drive, "");
    EXPECT_STREQ(dir, c.dir) << c.path;
    EXPECT_STREQ(base, c.base) << c.path;
    EXPECT_STREQ(ext, c.ext) << c.path;
  }
}

TEST(NameParts, PartsThatDoNotFitAreRefused) {
  char drive[kDriveSize], dir[kDirSize], base[kBaseSize], ext[kExtSize];
  std::string d249 = std::string(248, 'd') + "/";
  EXPECT_TRUE(_splitpath((d249 + "n.x").c_str(), drive, dir, base, ext));
  EXPECT_FALSE(_splitpath(("d" + d249 + "n.x").c_str(), drive, dir, base, ext));
  EXPECT_STREQ(dir, "");
  EXPECT_TRUE(_splitpath((std::string(59, 'b') + ".x").c_str(), drive, dir, base, ext));
  EXPECT_FALSE(_splitpath((std::string(60, 'b') + ".x").c_str(), drive, dir, base, ext));
  EXPECT_TRUE(_splitpath("n.1234", drive, dir, base, ext));
  EXPECT_FALSE(_splitpath("n.12345", drive, dir, base, ext));
  EXPECT_FALSE(_splitpath(".profile", drive, dir, base, ext));
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

TEST_F(FileNamesTest, NameCaseSetting) {
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
}

TEST_F(FileNamesTest, DataPathSetting) {
  SetEnv("DBPATH", "/c");
  SetEnv("VEZOR_DBPATH", "/b");
  ASSERT_EQ(ReadNamedSettings(), kOk);
  EXPECT_STREQ(cd->dbPath, "/b");
  SetEnv("QRX_PATH", "/a");
  ASSERT_EQ(ReadNamedSettings(), kOk);  // read again, the new value replaces the old
  EXPECT_STREQ(cd->dbPath, "/a");
}

TEST_F(FileNamesTest, FindAlongTheDataPath) {
  ASSERT_EQ(mkdir(dir.file("a").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(dir.file("b").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(dir.file("cwd").c_str(), 0755), 0);
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
  dir.write("cwd/f.txt", "here");  // present here: stays bare
  EXPECT_EQ(FindFile("f.txt", found, path.c_str()), 0u);
  EXPECT_EQ(FindFile("sub/f.txt", found, path.c_str()), 0u);
  EXPECT_EQ(FindFile("none", found, path.c_str()), 0u);
}

TEST_F(FileNamesTest, OnlyFilesThatOpenReadWriteAreFound) {
  ASSERT_EQ(mkdir(dir.file("b").c_str(), 0755), 0);
  dir.write("b/ro", "x");
  // The second open (the candidate in b) is refused as for a read-only file.
  FaultPlan plan;
  plan.classes = kFaultOpen;
  plan.failAt = 2;
  plan.err = EACCES;
  SysSetFaultPlan(plan);
  char found[kDirSize];
  EXPECT_EQ(FindFile("ro", found, dir.file("b").c_str()), 0u);
  EXPECT_TRUE(SysFaultFired());
}

TEST(DataPath, FirstDirectory) {
  char out[16];
  EXPECT_EQ(getDBPATH("abc:def", out), 3u);
  EXPECT_EQ(std::string(out, 3), "abc");
  EXPECT_EQ(getDBPATH(":x", out), 0u);
  EXPECT_EQ(getDBPATH("last", out), 4u);
}

TEST_F(FileNamesTest, CreateExclusiveTruncatesAnExistingFile) {
  dir.write("old.ISI", "previous contents");
  int fd = CreateExclusive(dir.file("old.ISI").c_str());
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(dir.read("old.ISI"), "");
  fd = CreateExclusive(dir.file("new.ISI").c_str());
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_TRUE(dir.exists("new.ISI"));
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
