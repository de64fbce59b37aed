# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64).
# The posix thread variant provides std::thread and std::mutex; the runtime is linked statically so
# the programs run on a bare Windows (or wine) without the compiler's DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KV_MINGW_PREFIX x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${KV_MINGW_PREFIX}-gcc-posix ${KV_MINGW_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${KV_MINGW_PREFIX}-g++-posix ${KV_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${KV_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KV_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs run under wine when it is there: Debian's `wine` launcher, or the 64-bit loader that the
# wine64 package alone installs.
find_program(KV_WINE NAMES wine wine64 PATHS /usr/lib/wine)
if(KV_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KV_WINE})
endif()

# CLI11 and nlohmann-json are header-only and the same for every platform: use the build machine's copies.
if(EXISTS /usr/share/cmake/CLI11/CLI11Config.cmake)
  set(CLI11_DIR /usr/share/cmake/CLI11 CACHE PATH "CLI11 (header-only) for the Windows build")
endif()
if(EXISTS /usr/share/cmake/nlohmann_json/nlohmann_jsonConfig.cmake)
  set(nlohmann_json_DIR /usr/share/cmake/nlohmann_json CACHE PATH "nlohmann-json (header-only) for the Windows build")
endif()
