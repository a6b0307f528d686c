# 32-bit little-endian MIPS with musl libc, linked dynamically like OpenWrt-class firmware.
#
# By default Debian's mipsel-linux-gnu-gcc is turned into a musl compiler with the headers,
# start files and libc of musl-dev:mipsel. A vendor SDK's musl compiler is used as it is:
#   cmake -DCMAKE_TOOLCHAIN_FILE=.../mipsel-linux-musl.cmake \
#         -DCMAKE_C_COMPILER=/sdk/bin/mipsel-openwrt-linux-musl-gcc \
#         -DCMAKE_CXX_COMPILER=/sdk/bin/mipsel-openwrt-linux-musl-g++ ...
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)

if(NOT CMAKE_C_COMPILER)
  set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
endif()
if(NOT CMAKE_CXX_COMPILER)
  set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)
endif()

# Size matters on flash: a non-PIE executable with link-time optimisation.
set(_size_flags "-Os -fno-pie -mno-shared")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-no-pie")
set(CMAKE_INTERPROCEDURAL_OPTIMIZATION ON)
if(NOT CMAKE_C_COMPILER MATCHES "musl")
  set(_musl_lib /usr/lib/mipsel-linux-musl)
  execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=include
                  OUTPUT_VARIABLE _gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)
  # The specs file sets musl's start files, libc and dynamic linker; the C++ front end
  # does not read its include rules, so they are given here for both languages.
  set(_musl_flags "-specs=${_musl_lib}/musl-gcc.specs -nostdinc -isystem /usr/include/mipsel-linux-musl -isystem ${_gcc_include}")
  set(CMAKE_C_FLAGS_INIT "${_musl_flags}")
  set(CMAKE_CXX_FLAGS_INIT "${_musl_flags}")
endif()
set(CMAKE_C_FLAGS_MINSIZEREL_INIT "${_size_flags}")
set(CMAKE_CXX_FLAGS_MINSIZEREL_INIT "${_size_flags}")

# The program is linked as C; the compiler checks must not try to link libstdc++.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel-static)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
