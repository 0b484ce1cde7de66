# The Windows program: its imports (objdump) and the end-to-end suite under Wine, once per
# width. The cross-builds live in their own build directories (presets mingw32 and
# mingw64), so the executables are found by path; scripts/test.sh builds them before it
# runs label "windows". A suite whose executable is missing exits 77 (skipped).
# The 32-bit program runs through i386_namespace.py: 32-bit Wine starts only there.
set(SONDREL_EXE32 "${CMAKE_SOURCE_DIR}/build/mingw32/Sondrel.exe" CACHE FILEPATH
    "The 32-bit Windows program (preset mingw32)")
set(SONDREL_EXE64 "${CMAKE_SOURCE_DIR}/build/mingw64/Sondrel.exe" CACHE FILEPATH
    "The 64-bit Windows program (preset mingw64)")

set(_sondrel_suite_windows_build
    ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/windows_build_test.py)
set(_sondrel_suite_wine64 ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/wine_test.py)
set(_sondrel_suite_wine32
    ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/i386_namespace.py
    ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/wine_test.py)
set(_sondrel_width_wine64 x86_64)
set(_sondrel_width_wine32 i686)

foreach(suite windows_build wine64 wine32)
  add_test(NAME e2e.${suite} COMMAND ${_sondrel_suite_${suite}}
           WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  set(environment "${SONDREL_E2E_ENVIRONMENT};SONDREL_EXE32=${SONDREL_EXE32}")
  string(APPEND environment ";SONDREL_EXE64=${SONDREL_EXE64}")
  if(DEFINED _sondrel_width_${suite})
    string(APPEND environment ";SONDREL_WINE_WIDTH=${_sondrel_width_${suite}}")
  endif()
  set_tests_properties(e2e.${suite} PROPERTIES
    ENVIRONMENT "${environment}"
    SKIP_RETURN_CODE 77
    LABELS "e2e;windows"
    TIMEOUT 2700)
endforeach()
