# Cross-compiles for 64-bit Windows with Debian's mingw-w64 (POSIX thread model); the programs run
# under wine, quietly and in a wine prefix inside the build folder.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(demo_install_line "apt-get install g++-mingw-w64-x86-64-posix wine64 libgtest-dev")
find_program(DEMO_MINGW_CXX x86_64-w64-mingw32-g++-posix)
find_program(DEMO_MINGW_CC x86_64-w64-mingw32-gcc-posix)
find_program(DEMO_WINE wine)
if(NOT DEMO_MINGW_CXX OR NOT DEMO_MINGW_CC OR NOT DEMO_WINE OR NOT EXISTS /usr/src/googletest/CMakeLists.txt)
  message(FATAL_ERROR "The Windows build needs Debian's mingw-w64 cross compiler, wine and the GoogleTest sources:\n"
    "  sudo ${demo_install_line}")
endif()

set(CMAKE_CXX_COMPILER ${DEMO_MINGW_CXX})
set(CMAKE_C_COMPILER ${DEMO_MINGW_CC})
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Self-contained programs: no mingw runtime DLLs to find at run time.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_CROSSCOMPILING_EMULATOR env WINEDEBUG=-all WINEPREFIX=${CMAKE_BINARY_DIR}/wine ${DEMO_WINE})
