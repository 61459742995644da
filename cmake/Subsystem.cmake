# One static library per subsystem folder; sources are picked up by glob so that
# adding a file never means touching a shared list. EXCLUDE names sources of the folder
# that another target builds. DEPS are the folders its files include (the layering test
# holds them to that), linked PRIVATE: a user of the library names what it includes
# itself, and the static libraries still come along at link time.
function(ostrivan_subsystem name)
  cmake_parse_arguments(ARG "" "" "DEPS;EXCLUDE" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(FILTER srcs EXCLUDE REGEX "/main\\.cpp$")
  foreach(excluded ${ARG_EXCLUDE})
    list(REMOVE_ITEM srcs ${CMAKE_CURRENT_SOURCE_DIR}/${excluded})
  endforeach()
  set(target ostrivan_${name})
  if(srcs)
    add_library(${target} STATIC ${srcs})
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${target} PRIVATE ostrivan_common ${ARG_DEPS})
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${target} INTERFACE ostrivan_common ${ARG_DEPS})
  endif()
endfunction()

# One GoogleTest executable per subsystem from every *_test.cpp in the folder, and
# one libFuzzer executable per fuzz_*.cpp when fuzzing is enabled.
# NO_TEST_SUPPORT: tests that need none of the shared helpers (and must build where those
# do not yet); EXCLUDE names test sources of the folder left out.
function(ostrivan_tests name)
  cmake_parse_arguments(ARG "NO_TEST_SUPPORT" "" "DEPS;EXCLUDE" ${ARGN})
  set(support ostrivan_test_support)
  if(ARG_NO_TEST_SUPPORT)
    set(support "")
  endif()
  file(GLOB helpers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_support.cpp)
  if(BUILD_TESTING)
    file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
    foreach(excluded ${ARG_EXCLUDE})
      list(REMOVE_ITEM tests ${CMAKE_CURRENT_SOURCE_DIR}/${excluded})
    endforeach()
    if(tests)
      add_executable(${name}_tests ${tests} ${helpers})
      target_link_libraries(${name}_tests PRIVATE ${ARG_DEPS} ${support} GTest::gtest GTest::gtest_main
                            Threads::Threads)
      target_compile_definitions(${name}_tests PRIVATE OSTRIVAN_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
      # A cross-built test lists its cases under the emulator (Wine) when ctest runs, not
      # while building.
      if(CMAKE_CROSSCOMPILING)
        set(discovery PRE_TEST)
      else()
        set(discovery POST_BUILD)
      endif()
      gtest_discover_tests(${name}_tests DISCOVERY_TIMEOUT 60 DISCOVERY_MODE ${discovery}
                           PROPERTIES TIMEOUT 300 LABELS unit)
    endif()
  endif()
  if(OSTRIVAN_FUZZ)
    file(GLOB fuzzers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_*.cpp)
    foreach(f ${fuzzers})
      get_filename_component(fname ${f} NAME_WE)
      add_executable(${fname} ${f} ${helpers})
      target_link_libraries(${fname} PRIVATE ${ARG_DEPS} ostrivan_test_support Threads::Threads)
      target_link_options(${fname} PRIVATE -fsanitize=fuzzer)
      add_dependencies(ostrivan_fuzzers ${fname})
    endforeach()
  endif()
endfunction()
