# CORVINA_STACK=<prefix>: the Core links the network stack that scripts/stack.sh built into
# <prefix> (libcurl, OpenSSL, nghttp2, ngtcp2, nghttp3, libidn2, zlib, brotli, zstd), statically,
# so every build tests what the wheel ships and libkestrin.so needs nothing outside the manylinux
# policy. Their symbols stay hidden inside the Core (--exclude-libs), so another libcurl or
# OpenSSL in the process cannot clash with them. Their default CA paths are Debian's, so the Core
# looks for the system bundle itself (KESTRIN_PORTABLE_CA).
set(_stack_curl ${CORVINA_STACK}/lib/libcurl.a)
if(NOT EXISTS ${CORVINA_STACK}/.done OR NOT EXISTS ${_stack_curl})
  message(FATAL_ERROR "CORVINA_STACK: no stack built in ${CORVINA_STACK} (run scripts/stack.sh)")
endif()

# The Core's TLS (WebSocket) uses the stack's OpenSSL too, never the system's.
set(OPENSSL_ROOT_DIR ${CORVINA_STACK})
set(OPENSSL_USE_STATIC_LIBS TRUE)
find_package(OpenSSL REQUIRED)
cmake_path(IS_PREFIX CORVINA_STACK "${OPENSSL_SSL_LIBRARY}" NORMALIZE _in_stack)
if(NOT _in_stack)
  message(FATAL_ERROR "CORVINA_STACK: found ${OPENSSL_SSL_LIBRARY}, not the stack's OpenSSL")
endif()

# zig's linker driver has no --exclude-libs: the Core's export list (kestrin/exports.map) hides
# the stack there instead, and the C++ runtime zig links in with it.
include(CheckLinkerFlag)
check_linker_flag(CXX "LINKER:--exclude-libs,libz.a" CORVINA_EXCLUDE_LIBS)

# In link order: each library before those it uses.
set(_stack_deps)
# Only the stack's own archives are hidden: a blanket --exclude-libs,ALL would also hide a
# statically linked sanitizer runtime's allocator (clang's), and frees would miss it.
set(_stack_archives libcurl.a:libssl.a:libcrypto.a)
foreach(_lib ngtcp2_crypto_ossl ngtcp2 nghttp3 nghttp2 idn2 unistring brotlidec brotlicommon
             zstd z)
  set(_path ${CORVINA_STACK}/lib/lib${_lib}.a)
  if(NOT EXISTS ${_path})
    message(FATAL_ERROR "CORVINA_STACK: no ${_path}")
  endif()
  list(APPEND _stack_deps ${_path})
  string(APPEND _stack_archives ":lib${_lib}.a")
endforeach()

add_library(CURL::libcurl STATIC IMPORTED)
set_target_properties(CURL::libcurl PROPERTIES
  IMPORTED_LOCATION ${_stack_curl}
  INTERFACE_INCLUDE_DIRECTORIES ${CORVINA_STACK}/include
  INTERFACE_COMPILE_DEFINITIONS "CURL_STATICLIB;KESTRIN_PORTABLE_CA;KESTRIN_IDN2"
  INTERFACE_LINK_LIBRARIES "${_stack_deps};OpenSSL::SSL;OpenSSL::Crypto;Threads::Threads;${CMAKE_DL_LIBS}"
  INTERFACE_LINK_OPTIONS "$<$<BOOL:${CORVINA_EXCLUDE_LIBS}>:LINKER:--exclude-libs,${_stack_archives}>")
# The Core's find_package(CURL) then takes this target as it is.
set(CURL_NO_CURL_CMAKE ON)
set(CURL_INCLUDE_DIR ${CORVINA_STACK}/include CACHE PATH "" FORCE)
set(CURL_LIBRARY ${_stack_curl} CACHE FILEPATH "" FORCE)

# The stack carries the Boost headers of Asio and Beast, with the patches of patches/boost: a
# Core built on the stack takes them from it, never from the host.
if(NOT EXISTS ${CORVINA_STACK}/include/boost/version.hpp)
  message(FATAL_ERROR "${CORVINA_STACK} has no Boost headers: build it again (scripts/stack.sh)")
endif()
if(NOT TARGET Boost::headers)
  add_library(Boost::headers INTERFACE IMPORTED)
  set_target_properties(Boost::headers PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${CORVINA_STACK}/include)
endif()
