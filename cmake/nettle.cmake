# nettle for the ARM build, made from its pinned source (scripts/setup.sh
# fetches it) with the build's own compiler: static, the hashes only (no
# public-key part, so no GMP), no documentation. Its assembly for ARMv6 and
# later (SHA-256 among it) is chosen here for armv7, not at each start as a
# "fat" build would (that reads /proc/cpuinfo); no NEON, which not every
# armeabi-v7a phone has. Sets NETTLE_INCLUDE_DIR and NETTLE_LIBRARY.
include(ExternalProject)

file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/arm-musl.env pins REGEX "^MOXTIL_[A-Z_0-9]+=")
foreach(pin IN LISTS pins)
  string(REGEX MATCH "^([A-Z_0-9]+)=(.*)$" _ "${pin}")
  set(${CMAKE_MATCH_1} "${CMAKE_MATCH_2}")
endforeach()
if(NOT EXISTS ${MOXTIL_NETTLE_SOURCE})
  message(FATAL_ERROR "no ${MOXTIL_NETTLE_SOURCE}: scripts/setup.sh fetches it")
endif()

set(nettle_prefix ${CMAKE_BINARY_DIR}/nettle)
cmake_host_system_information(RESULT nettle_jobs QUERY NUMBER_OF_LOGICAL_CORES)
ExternalProject_Add(nettle_build
  URL ${MOXTIL_NETTLE_SOURCE}
  URL_HASH SHA256=${MOXTIL_NETTLE_SHA256}
  # The tarball's own times, so that make takes its generated files as they are.
  DOWNLOAD_EXTRACT_TIMESTAMP ON
  PREFIX ${nettle_prefix}
  INSTALL_DIR ${nettle_prefix}/install
  CONFIGURE_COMMAND <SOURCE_DIR>/configure --host=armv7-unknown-linux-musleabihf --prefix=<INSTALL_DIR>
    --disable-shared --disable-public-key --disable-documentation --disable-openssl --disable-fat
    CC=${CMAKE_C_COMPILER} CFLAGS=-O2 AR=${CMAKE_AR} RANLIB=${CMAKE_RANLIB} NM=${CMAKE_NM}
  BUILD_COMMAND make -j${nettle_jobs} libnettle.a
  INSTALL_COMMAND make install-headers install-static
  BUILD_BYPRODUCTS ${nettle_prefix}/install/lib/libnettle.a
  LOG_CONFIGURE ON LOG_BUILD ON LOG_INSTALL ON LOG_OUTPUT_ON_FAILURE ON)
set(NETTLE_INCLUDE_DIR ${nettle_prefix}/install/include)
set(NETTLE_LIBRARY ${nettle_prefix}/install/lib/libnettle.a)
file(MAKE_DIRECTORY ${NETTLE_INCLUDE_DIR})
