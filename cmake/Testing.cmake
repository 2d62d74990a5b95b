# lanternix_add_test(NAME SOURCES ... LIBS ...)
# Builds one GoogleTest executable. Native tests are registered case by case;
# Windows test executables run whole under Wine (one Wine start per executable
# keeps the suite fast) through CMAKE_CROSSCOMPILING_EMULATOR.
include(GoogleTest)

# lanternix_check_imports(TARGET): the Windows executable joins the list whose
# imports a test checks (static PE32+, Windows' own DLLs only).
function(lanternix_check_imports target)
  set_property(GLOBAL APPEND PROPERTY LANTERNIX_WINDOWS_EXECUTABLES ${target})
endfunction()

# SYSTEM_DISK: on Windows the executable runs a second time on the system's own file
# system (LANTERNIX_TEST_DISK=system) instead of the in-memory drive.
function(lanternix_add_test)
  cmake_parse_arguments(T "SYSTEM_DISK" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  set(name ${T_NAME})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE lanternix_options ${T_LIBS} lanternix_gtest_main)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  if(WIN32)
    lanternix_check_imports(${name})
    add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
    set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "windows;${T_LABELS}")
    if(T_SYSTEM_DISK)
      add_test(NAME ${name}_on_system_disk COMMAND ${name} --gtest_brief=1)
      set_tests_properties(${name}_on_system_disk PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "windows;${T_LABELS}"
        ENVIRONMENT "LANTERNIX_TEST_DISK=system")
    endif()
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 TEST_PREFIX "${name}."
      PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "native;${T_LABELS}")
  endif()
endfunction()
