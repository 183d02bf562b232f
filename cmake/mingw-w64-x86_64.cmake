# Cross toolchain for the 64-bit stand-in of the Windows program: the 32-bit toolchain with the
# x86_64 compilers and their own system root. It runs the same Windows code under 64-bit Wine
# on machines that cannot start 32-bit executables; the product itself stays 32-bit.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-i686.cmake)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
list(REMOVE_ITEM CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
list(INSERT CMAKE_FIND_ROOT_PATH 0 /usr/x86_64-w64-mingw32)
