# kv_add_gtest(NAME name SOURCES ... LIBS ... [WINE_ONLY] [NATIVE_ONLY] [LABELS ...])
#
# Natively every test case becomes its own ctest entry. Under Wine one ctest entry per
# executable: starting wine64 costs far more than the tests themselves.
include(GoogleTest)

function(kv_add_gtest)
  cmake_parse_arguments(T "WINE_ONLY;NATIVE_ONLY" "NAME" "SOURCES;LIBS;LABELS" ${ARGN})
  if(T_WINE_ONLY AND NOT WIN32)
    return()
  endif()
  if(T_NATIVE_ONLY AND WIN32)
    return()
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main Threads::Threads)
  if(WIN32)
    add_test(NAME ${T_NAME} COMMAND ${T_NAME} --gtest_brief=1)
    set_tests_properties(${T_NAME} PROPERTIES FIXTURES_REQUIRED wineprefix
      ENVIRONMENT "WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix" LABELS "${T_LABELS}")
  else()
    gtest_discover_tests(${T_NAME} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()

# Under Wine, every test shares one private prefix: created once before the first
# test and waited for after the last.
function(kv_wine_fixture)
  if(NOT WIN32)
    return()
  endif()
  add_test(NAME wine_prefix_init COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-prefix init)
  add_test(NAME wine_prefix_stop COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-prefix stop)
  set_tests_properties(wine_prefix_init PROPERTIES FIXTURES_SETUP wineprefix
    ENVIRONMENT "WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix")
  set_tests_properties(wine_prefix_stop PROPERTIES FIXTURES_CLEANUP wineprefix
    ENVIRONMENT "WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix")
endfunction()

# kv_add_fuzzer(NAME name SOURCES ... LIBS ...): a libFuzzer target (native-fuzz preset).
# Its seed corpus is fuzz/corpus/<name>; scripts/fuzz runs each for a bounded time.
function(kv_add_fuzzer)
  cmake_parse_arguments(F "" "NAME" "SOURCES;LIBS" ${ARGN})
  if(NOT KV_FUZZ)
    return()
  endif()
  add_executable(${F_NAME} ${F_SOURCES})
  target_link_options(${F_NAME} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${F_NAME} PRIVATE ${F_LIBS})
endfunction()

# Adds every immediate subfolder of the current folder that has a CMakeLists.txt, so
# that each subsystem owns its own tests/<folder>, fuzz/<folder> and bench/<folder>.
macro(kv_add_subfolders)
  file(GLOB _kv_children LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT _kv_children)
  foreach(_kv_child ${_kv_children})
    if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${_kv_child} AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${_kv_child}/CMakeLists.txt)
      add_subdirectory(${_kv_child})
    endif()
  endforeach()
endmacro()
