# kestrava_test(NAME SOURCES src... LIBS lib... [LABELS l...] [SERIAL] [SHUFFLED]
#               [FIXTURES_REQUIRED f...] [ENVIRONMENT VAR=value...] [DEPENDS target...])
# One GoogleTest executable, registered case by case with CTest, each case in
# a process of its own. SERIAL runs its cases while no other test runs: for
# cases that move the shared display's pointer or click on it, which other
# tests' windows would disturb. FIXTURES_REQUIRED and ENVIRONMENT go to every
# case; DEPENDS names programs the cases run, built before the test.
# SHUFFLED, when KESTRAVA_TEST_SHUFFLE is on, also registers NAME.shuffled:
# the whole executable in one process with its cases in random order (the
# seed is in the output), so that cases sharing state by accident show.
# Nothing is built when BUILD_TESTING is off.
function(kestrava_test name)
  if(NOT BUILD_TESTING)
    return()
  endif()
  cmake_parse_arguments(T "SERIAL;SHUFFLED" ""
                        "SOURCES;LIBS;LABELS;FIXTURES_REQUIRED;ENVIRONMENT;DEPENDS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main
                        Threads::Threads)
  if(T_DEPENDS)
    add_dependencies(${name} ${T_DEPENDS})
  endif()
  set(props "")
  if(T_LABELS)
    list(APPEND props LABELS "${T_LABELS}")
  endif()
  if(T_SERIAL)
    list(APPEND props RUN_SERIAL TRUE)
  endif()
  if(T_FIXTURES_REQUIRED)
    list(APPEND props FIXTURES_REQUIRED "${T_FIXTURES_REQUIRED}")
  endif()
  if(T_ENVIRONMENT)
    list(APPEND props ENVIRONMENT "${T_ENVIRONMENT}")
  endif()
  gtest_discover_tests(${name} WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
                       DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
  if(T_SHUFFLED AND KESTRAVA_TEST_SHUFFLE)
    add_test(NAME ${name}.shuffled COMMAND ${name} --gtest_shuffle
             WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
    set_tests_properties(${name}.shuffled PROPERTIES ${props})
    set_property(TEST ${name}.shuffled APPEND PROPERTY LABELS shuffled)
  endif()
endfunction()

# kestrava_library(NAME [SOURCES file.cpp...] [LIBS lib...] [TEST_LIBS lib...]
#                  [SERIAL_TESTS stem...])
# The static library of a folder. Without SOURCES it takes every .cpp of the
# folder except tests (*_test.cpp), programs (*_main.cpp) and the units of
# libraries declared before it in the same folder; with SOURCES, only those
# units (a folder that holds two libraries lists the units of the first).
# Each unit's name_test.cpp becomes its own test executable name_test, so a
# unit's tests build and run alone; it links the library and TEST_LIBS. The
# stems in SERIAL_TESTS run serially.
function(kestrava_library name)
  cmake_parse_arguments(L "" "" "SOURCES;LIBS;TEST_LIBS;SERIAL_TESTS" ${ARGN})
  get_property(taken DIRECTORY PROPERTY KESTRAVA_TAKEN_UNITS)
  file(GLOB all_src CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  set(lib_src "")
  set(test_src "")
  if(L_SOURCES)
    foreach(f ${L_SOURCES})
      list(APPEND lib_src ${CMAKE_CURRENT_SOURCE_DIR}/${f})
    endforeach()
  endif()
  foreach(f ${all_src})
    get_filename_component(stem ${f} NAME_WE)
    string(REGEX REPLACE "_test$" "" unit ${stem})
    if(unit IN_LIST taken)
      continue()
    endif()
    if(f MATCHES "_test\\.cpp$")
      if(NOT L_SOURCES OR ${CMAKE_CURRENT_SOURCE_DIR}/${unit}.cpp IN_LIST lib_src)
        list(APPEND test_src ${f})
      endif()
    elseif(NOT L_SOURCES AND NOT f MATCHES "_main\\.cpp$")
      list(APPEND lib_src ${f})
    endif()
  endforeach()
  foreach(f ${lib_src})
    get_filename_component(stem ${f} NAME_WE)
    set_property(DIRECTORY APPEND PROPERTY KESTRAVA_TAKEN_UNITS ${stem})
  endforeach()
  if(lib_src)
    add_library(${name} STATIC ${lib_src})
    set(scope PUBLIC)
  else()  # a folder that has only headers so far
    add_library(${name} INTERFACE)
    set(scope INTERFACE)
  endif()
  target_include_directories(${name} ${scope} ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} ${scope} ${L_LIBS} Threads::Threads)
  foreach(t ${test_src})
    get_filename_component(stem ${t} NAME_WE)
    set(serial "")
    if(stem IN_LIST L_SERIAL_TESTS)
      set(serial SERIAL)
    endif()
    kestrava_test(${stem} SOURCES ${t} LIBS ${name} ${L_TEST_LIBS} LABELS ${name} ${serial}
                  SHUFFLED)
  endforeach()
endfunction()

# kestrava_test_library(NAME SOURCES file.cpp... [LIBS lib...])
# A static library of test code (doubles, helpers, test servers) that only
# tests and benchmarks link; built only with BUILD_TESTING, so no product
# library can come to depend on it.
function(kestrava_test_library name)
  if(NOT BUILD_TESTING)
    return()
  endif()
  cmake_parse_arguments(L "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${L_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${L_LIBS} Threads::Threads)
endfunction()

# kestrava_debug_file(TARGET)
# For a program we ship: after linking, its debug information moves into
# TARGET.debug beside it (objcopy --only-keep-debug), and the program keeps
# its symbol table, a GNU build id and a debug link naming that file. Crash
# reports copy both into the crash folder; gdb pairs them by the link and
# checks them by the build id.
function(kestrava_debug_file target)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:${target}>
            $<TARGET_FILE:${target}>.debug
    COMMAND ${CMAKE_OBJCOPY} --strip-debug
            --add-gnu-debuglink=$<TARGET_FILE:${target}>.debug $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()
