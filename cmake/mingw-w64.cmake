# Cross build of kivex.exe for Windows (XP and later) with Debian's
# MinGW-w64. The shipped kivex.exe is 32-bit (i686); a 64-bit build
# (-DKIVEX_MINGW_ARCH=x86_64) of the same sources is what the Windows tests
# run where the kernel runs no 32-bit program. kivex.exe takes the win32
# thread model: the posix one pulls in functions that Windows XP lacks. The
# unit tests take the posix one (-DKIVEX_MINGW_THREADS=posix): GoogleTest
# needs std::mutex. Both run under Wine.
if(NOT KIVEX_MINGW_THREADS)
  set(KIVEX_MINGW_THREADS win32)
endif()
if(NOT KIVEX_MINGW_ARCH)
  set(KIVEX_MINGW_ARCH i686)
endif()
set(TRIPLE ${KIVEX_MINGW_ARCH}-w64-mingw32)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${KIVEX_MINGW_ARCH})
set(CMAKE_C_COMPILER ${TRIPLE}-gcc-${KIVEX_MINGW_THREADS})
set(CMAKE_CXX_COMPILER ${TRIPLE}-g++-${KIVEX_MINGW_THREADS})
set(CMAKE_RC_COMPILER ${TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Wine's loader for the program's width: Debian's `wine` starts the 32-bit
# one whenever it is installed, even where it cannot run.
if(KIVEX_MINGW_ARCH STREQUAL "x86_64")
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR wine)
endif()
# No API newer than Windows XP.
add_compile_definitions(_WIN32_WINNT=0x0501 WINVER=0x0501)
