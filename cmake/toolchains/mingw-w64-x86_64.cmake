# Cross-building for 64-bit Windows with Debian's MinGW-w64 (package
# g++-mingw-w64-x86-64-posix) and running what was built under Wine.
#
# The posix thread model: with the win32 model GCC 12 has no std::thread,
# std::mutex or std::condition_variable, which the portable core uses on both
# platforms. Everything of the toolchain is linked in statically (-static), so
# that the DLL, the tool and the tests import only system DLLs and run from
# any folder without the compiler's runtime beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZORBEL_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZORBEL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZORBEL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ZORBEL_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZORBEL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# ctest and add_test run the programs through Wine.
find_program(ZORBEL_WINE NAMES wine wine64)
if(ZORBEL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZORBEL_WINE})
endif()
