# The shipped program: the same cross toolchain with the win32 threading
# model. The posix model's runtime pulls in calls that only newer Windows
# has (GetTickCount64, TryEnterCriticalSection, ...), and the program must
# start on Windows 95/98/ME as well. It uses no C++ threads of its own.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-i686.cmake)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-win32)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-win32)
