# The shared Wine rig of the Windows build's tests: one prefix inside the
# build tree, one Wine server kept alive for the whole test run by the CTest
# fixture "wine", and the modem-line shim preloaded into the Wine processes.
# Include this file from any tests/*/CMakeLists.txt of the Windows tree and
# register tests with hp_add_wine_test (see tests/wine/README.md).
include_guard(GLOBAL)

set(HP_WINE_DIR "${CMAKE_BINARY_DIR}/wine")
set(HP_WINE_PREFIX "${HP_WINE_DIR}/prefix")
set(HP_WINE_SHIM "${HP_WINE_DIR}/hp_modem_lines_shim.so")
set(HP_WINE_RIG "${PROJECT_SOURCE_DIR}/tests/wine/wine_rig.py")
set(HP_WINE_ENVIRONMENT
  "WINEPREFIX=${HP_WINE_PREFIX}"
  "WINEDEBUG=-all"
  "LD_PRELOAD=${HP_WINE_SHIM}"
  "HP_WINE_RIG=${HP_WINE_RIG}")
# The same list under the name some test folders use.
set(HP_WINE_TEST_ENV ${HP_WINE_ENVIRONMENT})

# hp_add_wine_test(NAME <name> COMMAND <command...>
#                  [TIMEOUT <seconds>] [LABELS <labels...>] [RESOURCE_LOCK <locks...>])
# A test that needs Wine: it runs inside the shared prefix with the rig's
# environment, after the fixture started the server and before it stops it.
function(hp_add_wine_test)
  cmake_parse_arguments(ARG "" "NAME;TIMEOUT" "COMMAND;LABELS;RESOURCE_LOCK" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_test(NAME ${ARG_NAME} COMMAND ${ARG_COMMAND})
  set_tests_properties(${ARG_NAME} PROPERTIES
    FIXTURES_REQUIRED wine
    ENVIRONMENT "${HP_WINE_ENVIRONMENT}"
    TIMEOUT ${ARG_TIMEOUT}
    LABELS "wine;${ARG_LABELS}")
  if(ARG_RESOURCE_LOCK)
    set_tests_properties(${ARG_NAME} PROPERTIES RESOURCE_LOCK "${ARG_RESOURCE_LOCK}")
  endif()
endfunction()
