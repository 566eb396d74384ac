# Wine, for the tests of a Windows build: started once before the first test
# and stopped after the last, by CTest fixtures. Its server and background
# services keep the output descriptors of whatever started them, and ctest
# would wait for those: they are started with none of the test's.
find_program(VANTREL_WINESERVER NAMES wineserver wineserver64 PATHS /usr/lib/wine REQUIRED)
add_test(NAME wine.start COMMAND sh -c
  "'${VANTREL_WINESERVER}' -p </dev/null >/dev/null 2>&1; '${VANTREL_WINE}' wineboot -i </dev/null >/dev/null 2>&1")
add_test(NAME wine.stop COMMAND sh -c "'${VANTREL_WINESERVER}' -k; '${VANTREL_WINESERVER}' -w")
set_tests_properties(wine.start PROPERTIES FIXTURES_SETUP wine ENVIRONMENT "${VANTREL_WINEENV}" LABELS emulated)
set_tests_properties(wine.stop PROPERTIES FIXTURES_CLEANUP wine ENVIRONMENT "${VANTREL_WINEENV}" LABELS emulated)
