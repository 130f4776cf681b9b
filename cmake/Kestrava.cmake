# kestrava_test(NAME SOURCES src... LIBS lib... [LABELS l...] [SERIAL])
# One GoogleTest executable, registered case by case with CTest. SERIAL runs
# its cases while no other test runs: for cases that move the shared
# display's pointer or click on it, which other tests' windows would disturb.
function(kestrava_test name)
  cmake_parse_arguments(T "SERIAL" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main
                        Threads::Threads)
  set(props "")
  if(T_LABELS)
    list(APPEND props LABELS "${T_LABELS}")
  endif()
  if(T_SERIAL)
    list(APPEND props RUN_SERIAL TRUE)
  endif()
  gtest_discover_tests(${name} WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
                       DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()

# kestrava_library(NAME [LIBS lib...] [TEST_LIBS lib...] [SERIAL_TESTS stem...])
# The static library of one folder: every .cpp of the folder except tests
# (*_test.cpp) and programs (*_main.cpp). Each name_test.cpp becomes its own
# test executable name_test, so a unit's tests build and run alone; it links
# the library and TEST_LIBS. The stems in SERIAL_TESTS run serially.
function(kestrava_library name)
  cmake_parse_arguments(L "" "" "LIBS;TEST_LIBS;SERIAL_TESTS" ${ARGN})
  file(GLOB all_src CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  set(lib_src "")
  set(test_src "")
  foreach(f ${all_src})
    if(f MATCHES "_test\\.cpp$")
      list(APPEND test_src ${f})
    elseif(NOT f MATCHES "_main\\.cpp$")
      list(APPEND lib_src ${f})
    endif()
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
    kestrava_test(${stem} SOURCES ${t} LIBS ${name} ${L_TEST_LIBS} LABELS ${name} ${serial})
  endforeach()
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
