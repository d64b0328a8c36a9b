# A cross build for s390x, a big-endian machine, with Debian's cross
# compiler (g++-s390x-linux-gnu). Its programs are linked statically, so
# that qemu's user-mode emulator (qemu-user-static) runs them without an
# s390x system beside it; ctest puts the emulator in front of every test,
# and the tests' own runs of the built programs go through it too.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(CMAKE_C_COMPILER s390x-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER s390x-linux-gnu-g++)
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# Headers and libraries come from the cross compiler's tree alone, never
# from the build machine's; programs run during the build are its own.
set(CMAKE_FIND_ROOT_PATH /usr/s390x-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(KEL_QEMU_S390X qemu-s390x-static)
if(NOT KEL_QEMU_S390X)
  message(FATAL_ERROR "qemu-s390x-static not found: it runs the s390x tests "
    "(scripts/install-deps.sh bigendian installs it)")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${KEL_QEMU_S390X})
