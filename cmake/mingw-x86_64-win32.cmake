# The program of the 64-bit build: the same cross toolchain with the win32
# threading model, as the 32-bit program is built (mingw-i686-win32.cmake).
include(${CMAKE_CURRENT_LIST_DIR}/mingw-x86_64.cmake)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-win32)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-win32)
