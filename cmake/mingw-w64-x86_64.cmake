# Cross build for 64-bit Windows with the mingw-w64 compilers:
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUIB_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUIB_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${QUIB_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${QUIB_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QUIB_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The programs run under Wine in the tests; nothing runs them at build time.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)

# quib.exe and gensock.dll carry their C++ runtime: nothing beside them but
# system DLLs is needed. Both are marked for address space layout
# randomisation, 64-bit addresses included, and for data that never runs as
# code (DEP).
set(QUIB_MINGW_LINK_FLAGS "-static-libgcc -static-libstdc++ -static")
string(APPEND QUIB_MINGW_LINK_FLAGS " -Wl,--dynamicbase -Wl,--nxcompat -Wl,--high-entropy-va")
set(CMAKE_EXE_LINKER_FLAGS_INIT ${QUIB_MINGW_LINK_FLAGS})
set(CMAKE_SHARED_LINKER_FLAGS_INIT ${QUIB_MINGW_LINK_FLAGS})
set(CMAKE_MODULE_LINKER_FLAGS_INIT ${QUIB_MINGW_LINK_FLAGS})
