# CORVINA_STATIC_CURL=<prefix>: the Core links the libcurl that scripts/static-curl.sh installed
# in <prefix>, and its dependencies, statically, so that libkestrin.so needs nothing outside the
# manylinux policy. Their symbols stay hidden inside the Core (--exclude-libs), so another libcurl
# or OpenSSL in the process cannot clash with them. Their default CA paths are Debian's, so the
# Core looks for the system bundle itself (KESTRIN_PORTABLE_CA).
set(_static_curl_lib ${CORVINA_STATIC_CURL}/lib/libcurl.a)
if(NOT EXISTS ${_static_curl_lib})
  message(FATAL_ERROR "CORVINA_STATIC_CURL: no ${_static_curl_lib} (run scripts/static-curl.sh)")
endif()

set(OPENSSL_USE_STATIC_LIBS TRUE)
find_package(OpenSSL REQUIRED)
set(_static_deps)
foreach(_lib nghttp2 brotlidec brotlicommon zstd z)
  find_library(CORVINA_STATIC_${_lib} NAMES lib${_lib}.a HINTS ${CORVINA_STATIC_CURL}/lib)
  if(NOT CORVINA_STATIC_${_lib})
    message(FATAL_ERROR "CORVINA_STATIC_CURL: no static lib${_lib}.a")
  endif()
  list(APPEND _static_deps ${CORVINA_STATIC_${_lib}})
endforeach()

add_library(CURL::libcurl STATIC IMPORTED)
set_target_properties(CURL::libcurl PROPERTIES
  IMPORTED_LOCATION ${_static_curl_lib}
  INTERFACE_INCLUDE_DIRECTORIES ${CORVINA_STATIC_CURL}/include
  INTERFACE_COMPILE_DEFINITIONS "CURL_STATICLIB;KESTRIN_PORTABLE_CA"
  INTERFACE_LINK_LIBRARIES "${_static_deps};OpenSSL::SSL;OpenSSL::Crypto;Threads::Threads"
  INTERFACE_LINK_OPTIONS "LINKER:--exclude-libs,ALL")
# The Core's find_package(CURL) then takes this target as it is.
set(CURL_NO_CURL_CMAKE ON)
set(CURL_INCLUDE_DIR ${CORVINA_STATIC_CURL}/include CACHE PATH "" FORCE)
set(CURL_LIBRARY ${_static_curl_lib} CACHE FILEPATH "" FORCE)

