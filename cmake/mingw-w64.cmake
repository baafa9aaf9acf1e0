# Cross build for 64-bit Windows against MinGW-w64's headers and libraries,
# win32 thread model: the posix model would link a threads runtime into the
# game's process. C and C++ are compiled by clang and linked by lld, which
# write the PDB that Windows' debuggers read a player's crash dump with, and
# realign a frame that holds 32-byte vectors, which GCC cannot on Win64. The
# stand-in game's assembly keeps GNU as: it picks encodings with GNU's {load}
# prefix, which clang's assembler does not know. The tests that run Windows
# programs go through Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(NOZZLES_MINGW_GCC /usr/lib/gcc/x86_64-w64-mingw32/12-win32)
set(CMAKE_C_COMPILER clang-14)
set(CMAKE_C_COMPILER_TARGET x86_64-w64-mingw32)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_CXX_COMPILER_TARGET x86_64-w64-mingw32)
# clang finds MinGW-w64's C headers and libraries on its own, but not the
# C++ library's headers and libgcc of the win32 thread model's GCC.
set(CMAKE_CXX_FLAGS_INIT "-isystem ${NOZZLES_MINGW_GCC}/include/c++ -isystem ${NOZZLES_MINGW_GCC}/include/c++/x86_64-w64-mingw32")
foreach(kind EXE SHARED MODULE)
    set(CMAKE_${kind}_LINKER_FLAGS_INIT "-fuse-ld=lld -L${NOZZLES_MINGW_GCC}")
endforeach()
set(CMAKE_ASM_COMPILER x86_64-w64-mingw32-gcc-win32)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../tools/wine-run")
