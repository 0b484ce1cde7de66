# The Windows program: its imports (objdump) and the end-to-end suite under Wine. The
# cross-builds live in their own build directories (presets mingw32 and mingw64), so the
# executables are found by path; scripts/test.sh builds them before it runs label
# "windows". A suite whose executable is missing exits 77 (skipped).
set(SONDREL_EXE32 "${CMAKE_SOURCE_DIR}/build/mingw32/Sondrel.exe" CACHE FILEPATH
    "The 32-bit Windows program (preset mingw32)")
set(SONDREL_EXE64 "${CMAKE_SOURCE_DIR}/build/mingw64/Sondrel.exe" CACHE FILEPATH
    "The 64-bit Windows program (preset mingw64)")

foreach(suite windows_build wine)
  add_test(NAME e2e.${suite}
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/${suite}_test.py
           WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  set_tests_properties(e2e.${suite} PROPERTIES
    ENVIRONMENT "${SONDREL_E2E_ENVIRONMENT};SONDREL_EXE32=${SONDREL_EXE32};SONDREL_EXE64=${SONDREL_EXE64}"
    SKIP_RETURN_CODE 77
    LABELS "e2e;windows"
    TIMEOUT 1800)
endforeach()
