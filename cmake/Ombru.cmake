# Build helpers shared by the three programs' build files (no code is shared).

set(OMBRU_CMAKE_DIR ${CMAKE_CURRENT_LIST_DIR})

# A core library may use only the standard library and small pure libraries
# (nlohmann/json, ICU). Headers of toolkits and platform libraries are refused
# at build time, because several of them sit on the default include path.
function(ombru_core_purity target)
  get_target_property(srcs ${target} SOURCES)
  get_target_property(dir ${target} SOURCE_DIR)
  set(files)
  foreach(s IN LISTS srcs)
    if(IS_ABSOLUTE "${s}")
      list(APPEND files "${s}")
    else()
      list(APPEND files "${dir}/${s}")
    endif()
  endforeach()
  file(GLOB headers ${dir}/*.hpp ${dir}/*.h)
  list(APPEND files ${headers})
  list(REMOVE_DUPLICATES files)
  set(stamp ${CMAKE_CURRENT_BINARY_DIR}/${target}.purity)
  add_custom_command(
    OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} -DSTAMP=${stamp} "-DFILES=${files}" -P ${OMBRU_CMAKE_DIR}/CheckPurity.cmake
    DEPENDS ${files} ${OMBRU_CMAKE_DIR}/CheckPurity.cmake
    COMMENT "Checking ${target} for toolkit includes"
    VERBATIM)
  add_custom_target(${target}_purity DEPENDS ${stamp})
  add_dependencies(${target} ${target}_purity)
endfunction()

# ombru_test(NAME name LABEL unit|e2e|bench [SERIAL] SOURCES ... LIBS ...)
# A GoogleTest executable whose cases are registered with CTest under LABEL;
# SERIAL cases run with no other test beside them.
function(ombru_test)
  cmake_parse_arguments(T "SERIAL" "NAME;LABEL;TIMEOUT" "SOURCES;LIBS;ENV" ${ARGN})
  if(NOT OMBRU_TESTS)
    return()
  endif()
  if(NOT T_LABEL)
    set(T_LABEL unit)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  gtest_discover_tests(${T_NAME}
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS ${T_LABEL} TIMEOUT ${T_TIMEOUT} ENVIRONMENT "${T_ENV}" RUN_SERIAL ${T_SERIAL})
endfunction()

# ombru_fuzz(NAME name SOURCES ... LIBS ... CORPUS dir)
# With OMBRU_FUZZ (clang), a libFuzzer binary. Always, a unit test that replays
# the corpus through the same entry point, so the target keeps building and
# its seeds keep passing under every compiler and sanitizer.
function(ombru_fuzz)
  cmake_parse_arguments(F "" "NAME;CORPUS" "SOURCES;LIBS" ${ARGN})
  if(OMBRU_FUZZ)
    add_executable(${F_NAME} ${F_SOURCES})
    target_compile_options(${F_NAME} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_options(${F_NAME} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_libraries(${F_NAME} PRIVATE ${F_LIBS})
  endif()
  if(OMBRU_TESTS)
    add_executable(${F_NAME}_replay ${F_SOURCES} ${OMBRU_CMAKE_DIR}/fuzz_replay.cpp)
    target_link_libraries(${F_NAME}_replay PRIVATE ${F_LIBS})
    add_test(NAME ${F_NAME}_replay COMMAND ${F_NAME}_replay ${F_CORPUS})
    set_tests_properties(${F_NAME}_replay PROPERTIES LABELS unit TIMEOUT 300)
  endif()
endfunction()
