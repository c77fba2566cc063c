# Cross build for 64-bit Windows with Debian's mingw-w64 toolchain:
#
#   scripts/build-win-deps.sh
#   cmake -S . -B build-win/x64 -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#
# OpenSSL and libxml2 come from the prefix scripts/build-win-deps.sh fills
# (static libraries; default build-win/deps beside this repository, or the
# directory named by KES_WIN_DEPS in the environment or the cache). Nothing
# is taken from the Linux system's libraries or headers.
#
# Everything is linked statically: the C and C++ runtimes, winpthreads,
# OpenSSL and libxml2. A library loaded into a database server cannot rely
# on mingw's runtime DLLs being on the server's PATH, and wine has none.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KES_MINGW_TRIPLET x86_64-w64-mingw32)

# The "posix" flavour of the compilers: its libstdc++ has std::thread,
# std::mutex and std::condition_variable (on winpthreads).
set(CMAKE_C_COMPILER ${KES_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KES_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KES_MINGW_TRIPLET}-windres)
set(CMAKE_AR ${KES_MINGW_TRIPLET}-gcc-ar-posix CACHE FILEPATH "archiver")
set(CMAKE_RANLIB ${KES_MINGW_TRIPLET}-gcc-ranlib-posix CACHE FILEPATH "ranlib")

# Where the dependency prefix is: the cache, then the environment, then the
# default of scripts/build-win-deps.sh.
if(NOT KES_WIN_DEPS)
  if(DEFINED ENV{KES_WIN_DEPS} AND NOT "$ENV{KES_WIN_DEPS}" STREQUAL "")
    set(KES_WIN_DEPS "$ENV{KES_WIN_DEPS}")
  else()
    get_filename_component(KES_WIN_DEPS "${CMAKE_CURRENT_LIST_DIR}/../build-win/deps" ABSOLUTE)
  endif()
endif()
set(KES_WIN_DEPS "${KES_WIN_DEPS}" CACHE PATH "prefix of the Windows builds of OpenSSL and libxml2")
# try_compile projects re-read this file; they need the same prefix.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KES_WIN_DEPS)

set(CMAKE_FIND_ROOT_PATH /usr/${KES_MINGW_TRIPLET} "${KES_WIN_DEPS}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# OpenSSL: FindOpenSSL with the static archives (it adds ws2_32 and crypt32).
set(OPENSSL_ROOT_DIR "${KES_WIN_DEPS}")
set(OPENSSL_USE_STATIC_LIBS TRUE)
# libxml2: its own package configuration, which carries LIBXML_STATIC for
# the static archive (CMake's FindLibXml2 would drop it and the headers
# would then ask for __declspec(dllimport)). It is found under the prefix.
set(CMAKE_FIND_PACKAGE_PREFER_CONFIG ON)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Test programs run under wine64 (scripts/wine-run.sh sets up a quiet,
# headless wine prefix of the build's own).
get_filename_component(_kes_wine_run "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh" ABSOLUTE)
if(EXISTS "${_kes_wine_run}")
  set(CMAKE_CROSSCOMPILING_EMULATOR "${_kes_wine_run}")
endif()
