// The installation: `make install` of this build into a scratch root
// (DESTDIR), then a C program built against it with pkg-config (the shared library)
// and a CMake project with find_package(kelisi) (the static one), each
// opening an index that kelindex built and finding a key in it; the Python
// module and the SQLite extension doing the same through the installed
// library, with no search path set; and `make uninstall` afterwards.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/test_util.h"

namespace {

constexpr char kProject[] = R"(cmake_minimum_required(VERSION 3.20)
project(client C)
find_package(kelisi 1 REQUIRED)
add_executable(client client.c)
target_link_libraries(client PRIVATE kelisi::kelisi_static)
)";

// A build under the sanitizers installs an instrumented library, which only
// a program built the same way can link.
#if defined(__SANITIZE_ADDRESS__)
constexpr char kCflags[] = "-fsanitize=address,undefined";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr char kCflags[] = "-fsanitize=address,undefined";
#else
constexpr char kCflags[] = "";
#endif
#else
constexpr char kCflags[] = "";
#endif

// python3 imports the installed module and loads the installed extension
// (into its own sqlite3 module); each finds the library it needs where the
// installation put it, and says which file that is.
constexpr char kPython[] = R"py(import sqlite3, sys, kelisi
isi, data, ext = sys.argv[1:]
def library():
    return [m.split()[-1] for m in open("/proc/self/maps") if "libkelisi.so" in m][0]
with kelisi.open(isi, data) as ix:
    print(ix.record(next(ix.find("K2"))).decode(), library())
db = sqlite3.connect(":memory:")
db.enable_load_extension(True)
db.load_extension(ext)
db.execute("CREATE VIRTUAL TABLE t USING kelisi('%s')" % isi)
print(db.execute("SELECT record FROM t WHERE key = 'K3'").fetchone()[0])
print(library())
)py";

int Shell(const std::string& cmd) {
  int st = system(cmd.c_str());
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// make install and make uninstall, on this build, into a scratch root:
// what is installed serves the clients, and the uninstall leaves the root
// as it found it, the folders the installation made removed.
TEST(Install, ClientsBuildAgainstTheInstalledLibraryThenItIsRemoved) {
  kt::TempDir dir;
  std::string prefix = dir.file("root/opt/kel"), log = " >>" + dir.file("log") + " 2>&1";
  dir.write("root/opt/other/keep", "");  // a folder of another installation
  const std::string make = "make -s -C " KEL_SOURCE_DIR " RELEASE_BUILD=" KEL_BINARY_DIR
                           " DESTDIR=" + dir.file("root") + " PREFIX=/opt/kel ";
  ASSERT_EQ(Shell(make + "install" + log), 0) << dir.read("log");
  for (const char* f :
       {"bin/kelindex", "bin/kelisi", "include/kelisi.h", "lib/libkelisi.a", "lib/libkelisi.so.1",
        "lib/pkgconfig/kelisi.pc", "lib/cmake/kelisi/kelisiConfig.cmake",
        "share/man/man1/kelisi.1.gz", "share/man/man1/kelindex.1.gz", "share/man/man3/kelisi.3.gz",
        "share/bash-completion/completions/kelindex", "share/bash-completion/completions/kelisi"}) {
    EXPECT_TRUE(dir.exists(std::string("root/opt/kel/") + f)) << f;
  }
  EXPECT_FALSE(dir.exists("root/opt/kel/bin/kelindex_fi"));
  EXPECT_FALSE(dir.exists("root/opt/kel/share/doc"));  // the Debian packages' own files

  // The C client of tests/install/client.c.
  const std::string client = kt::ReadFileBytes(KEL_SOURCE_DIR "/tests/install/client.c");

  dir.write("d.txt", "K1 first \nK2 second\nK3 third \n");
  ASSERT_EQ(kt::RunKelindex({"d.txt,d.isi", "-1-2"}, dir.path()).exitCode, 0);
  dir.write("client.c", client);
  std::string run =
      std::string(" ").append(dir.file("d.isi")).append(" ").append(dir.file("d.txt"));
  run.append(" K2 >").append(dir.file("out"));
  ASSERT_EQ(Shell("cd " + dir.path() + " && PKG_CONFIG_PATH=" + prefix + "/lib/pkgconfig cc " +
                  kCflags + " client.c -o client $(PKG_CONFIG_PATH=" + prefix +
                  "/lib/pkgconfig pkg-config --cflags --libs kelisi)" + log),
            0)
      << dir.read("log");
  EXPECT_EQ(Shell("LD_LIBRARY_PATH=" + prefix + "/lib " + dir.file("client") + run), 0);
  EXPECT_EQ(dir.read("out"), "10 K2 second\n");

  ASSERT_EQ(Shell("mkdir " + dir.file("project")), 0);
  dir.write("project/CMakeLists.txt", kProject);
  dir.write("project/client.c", client);
  ASSERT_EQ(Shell("cmake -S " + dir.file("project") + " -B " + dir.file("project/b") +
                  " -DCMAKE_PREFIX_PATH=" + prefix + " -DCMAKE_C_FLAGS='" + kCflags + "'" + log +
                  " && cmake --build " + dir.file("project/b") + log),
            0)
      << dir.read("log");
  EXPECT_EQ(Shell(dir.file("project/b/client") + run), 0);
  EXPECT_EQ(dir.read("out"), "10 K2 second\n");

#ifdef KEL_HAVE_BINDINGS
  std::string lib = prefix + "/" KEL_INSTALL_LIBDIR "/";
  for (const std::string& f :
       {prefix + "/lib/python3/dist-packages/kelisi/__init__.py",
        prefix + "/lib/python3/dist-packages/kelisi/_kelisi" KEL_PYTHON_EXT_SUFFIX,
        lib + "kelisi_sqlite.so"}) {
    EXPECT_TRUE(dir.exists(f.substr(dir.path().size() + 1))) << f;
  }
  dir.write("bindings.py", kPython);
  ASSERT_EQ(Shell("cd / && env -u LD_LIBRARY_PATH " KEL_PYTHON_RUNTIME
                  " PYTHONDONTWRITEBYTECODE=1 PYTHONPATH=" +
                  prefix + "/lib/python3/dist-packages " KEL_PYTHON3 " " + dir.file("bindings.py") +
                  " " + dir.file("d.isi") + " " + dir.file("d.txt") + " " + lib +
                  "kelisi_sqlite >" + dir.file("out") + " 2>>" + dir.file("log")),
            0)
      << dir.read("log");
  char* real = realpath((lib + "libkelisi.so.1").c_str(), nullptr);
  ASSERT_NE(real, nullptr);
  std::string installed = real;
  free(real);
  EXPECT_EQ(dir.read("out"), "K2 second " + installed + "\nK3 third \n" + installed + "\n");
#endif

  ASSERT_EQ(Shell(make + "uninstall" + log), 0) << dir.read("log");
  std::vector<std::string> left;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir.file("root"))) {
    left.push_back(e.path().string().substr(dir.file("root").size()));
  }
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"/opt", "/opt/other", "/opt/other/keep"}));
}

}  // namespace
