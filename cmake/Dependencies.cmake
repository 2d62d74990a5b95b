# Third-party code comes from the machine (Debian packages) or from the pinned
# download in .deps/ made by scripts/fetch-deps; nothing is vendored in git.

# fmt, header-only in both builds. The mingw compiler must not see /usr/include
# as a whole, so only the fmt folder is exposed through a private include root.
set(_fmt_root ${CMAKE_BINARY_DIR}/fmt-include)
if(NOT EXISTS /usr/include/fmt/format.h)
  message(FATAL_ERROR "fmt headers missing: run scripts/setup (Debian package libfmt-dev)")
endif()
file(MAKE_DIRECTORY ${_fmt_root})
file(CREATE_LINK /usr/include/fmt ${_fmt_root}/fmt SYMBOLIC)
add_library(lanternix_fmt INTERFACE)
target_include_directories(lanternix_fmt SYSTEM INTERFACE ${_fmt_root})
target_compile_definitions(lanternix_fmt INTERFACE FMT_HEADER_ONLY=1)

# GoogleTest: Debian's prebuilt libraries natively, its sources for mingw.
if(WIN32)
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  add_library(lanternix_gtest_main INTERFACE)
  target_link_libraries(lanternix_gtest_main INTERFACE gtest_main gmock)
else()
  find_package(GTest REQUIRED)
  add_library(lanternix_gtest_main INTERFACE)
  target_link_libraries(lanternix_gtest_main INTERFACE GTest::gtest_main GTest::gmock)
endif()

# zstd: Debian's libzstd natively; for mingw the pinned upstream library source,
# of which only decompression is built (the launcher never compresses).
if(WIN32)
  set(LANTERNIX_ZSTD_LIB_DIR "${CMAKE_SOURCE_DIR}/.deps/zstd-napi-0.0.13/package/deps/zstd/lib"
      CACHE PATH "zstd lib/ folder (upstream source)")
  if(NOT EXISTS ${LANTERNIX_ZSTD_LIB_DIR}/zstd.h)
    message(FATAL_ERROR "zstd source missing at ${LANTERNIX_ZSTD_LIB_DIR}: run scripts/fetch-deps")
  endif()
  file(GLOB _zstd_sources
    ${LANTERNIX_ZSTD_LIB_DIR}/common/*.c
    ${LANTERNIX_ZSTD_LIB_DIR}/decompress/*.c)
  add_library(lanternix_zstd STATIC ${_zstd_sources})
  target_include_directories(lanternix_zstd SYSTEM PUBLIC ${LANTERNIX_ZSTD_LIB_DIR})
  target_compile_definitions(lanternix_zstd PRIVATE ZSTD_DISABLE_ASM=1 ZSTD_LEGACY_SUPPORT=0 XXH_NAMESPACE=ZSTD_)
  target_compile_options(lanternix_zstd PRIVATE -O2 -w)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(ZSTD REQUIRED IMPORTED_TARGET libzstd)
  add_library(lanternix_zstd INTERFACE)
  target_link_libraries(lanternix_zstd INTERFACE PkgConfig::ZSTD)
  find_package(OpenSSL REQUIRED)
  find_package(Threads REQUIRED)
endif()
