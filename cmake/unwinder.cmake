# One unwinder per process. zig links LLVM's libunwind into each binary with libc++, but glibc
# ends a thread (pthread_exit, as CPython does to a daemon thread at exit) with libgcc_s's forced
# unwind. Its context then reaches our frames' personality routine, which would read it with
# libunwind's layout and crash. So a libc++ build takes _Unwind_* from the system's libgcc_s.so.1
# (in every manylinux policy), linked against a stub of its names and versions: the stub comes
# first, so the linker never pulls libunwind's members.
include(CheckCXXSourceCompiles)
check_cxx_source_compiles("#include <version>
#ifndef _LIBCPP_VERSION
#error libstdc++
#endif
int main() { return 0; }" CORVINA_LIBCXX)
if(NOT CORVINA_LIBCXX OR NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
  return()
endif()
set(_dir "${CMAKE_BINARY_DIR}/unwinder")
set(_src "${CMAKE_CURRENT_LIST_DIR}/unwinder")
file(MAKE_DIRECTORY "${_dir}")
execute_process(
  COMMAND "${CMAKE_C_COMPILER}" -shared -fPIC -nostdlib -O1 -Wl,-soname,libgcc_s.so.1
          "-Wl,--version-script=${_src}/gcc_s.map" "${_src}/gcc_s_stub.c" -o "${_dir}/libgcc_s.so.1"
  RESULT_VARIABLE _rc ERROR_VARIABLE _err)
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "the libgcc_s link stub did not build: ${_err}")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_src}/gcc_s.map" "${_src}/gcc_s_stub.c")
# -L and -l:, not the file's path: CMake would put its folder in the build RPATH and the stub
# would be loaded in place of the real library.
foreach(_kind SHARED MODULE EXE)
  string(APPEND CMAKE_${_kind}_LINKER_FLAGS " -L${_dir} -l:libgcc_s.so.1")
endforeach()
message(STATUS "unwinder: the system's libgcc_s.so.1 (libc++ build)")
