# Which ABI the module is built for: the stable one (abi3) on an interpreter with the lock, the
# full API on a free-threaded one, which has no stable ABI before 3.15. Sets
# CORVINA_FREE_THREADED and finds the matching development component.
find_package(Python 3.10 REQUIRED COMPONENTS Interpreter)
execute_process(
  COMMAND "${Python_EXECUTABLE}" -c
          "import sysconfig; print(int(bool(sysconfig.get_config_var('Py_GIL_DISABLED'))))"
  OUTPUT_VARIABLE CORVINA_FREE_THREADED OUTPUT_STRIP_TRAILING_WHITESPACE)
if(CORVINA_FREE_THREADED)
  set(CORVINA_PYTHON_COMPONENT Development.Module)
else()
  set(CORVINA_PYTHON_COMPONENT Development.SABIModule)
endif()
find_package(Python 3.10 ${CORVINA_PYTHON_FIND_MODE} COMPONENTS Interpreter ${CORVINA_PYTHON_COMPONENT})
