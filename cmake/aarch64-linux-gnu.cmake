# Cross-compiles for aarch64 Linux with Debian's cross toolchain; the tests run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(demo_install_line "apt-get install g++-aarch64-linux-gnu qemu-user libgtest-dev")
find_program(DEMO_AARCH64_CXX aarch64-linux-gnu-g++)
find_program(DEMO_QEMU_AARCH64 qemu-aarch64)
if(NOT DEMO_AARCH64_CXX OR NOT DEMO_QEMU_AARCH64 OR NOT EXISTS /usr/src/googletest/CMakeLists.txt)
  message(FATAL_ERROR "The aarch64 build needs Debian's cross compiler, qemu-user and the GoogleTest sources:\n"
    "  sudo ${demo_install_line}")
endif()

set(CMAKE_CXX_COMPILER ${DEMO_AARCH64_CXX})
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${DEMO_QEMU_AARCH64} -L /usr/aarch64-linux-gnu)
