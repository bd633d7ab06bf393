# Cross build of kivex.exe for 32-bit Windows (XP and later) with Debian's
# MinGW-w64. kivex.exe takes the win32 thread model: the posix one pulls in
# functions that Windows XP lacks. The unit tests take the posix one
# (-DKIVEX_MINGW_THREADS=posix): GoogleTest needs std::mutex. Both run
# under Wine.
if(NOT KIVEX_MINGW_THREADS)
  set(KIVEX_MINGW_THREADS win32)
endif()
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-${KIVEX_MINGW_THREADS})
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-${KIVEX_MINGW_THREADS})
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
# No API newer than Windows XP.
add_compile_definitions(_WIN32_WINNT=0x0501 WINVER=0x0501)
