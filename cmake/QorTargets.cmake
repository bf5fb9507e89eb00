# Helpers shared by every target of the project.

# Warnings on for our own code only; the presets turn them into errors.
function(qor_target_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /permissive- /utf-8 /EHsc)
    if(QOR_WERROR)
      target_compile_options(${target} PRIVATE /WX)
    endif()
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
    if(QOR_WERROR)
      target_compile_options(${target} PRIVATE -Werror)
    endif()
  endif()
endfunction()

# Picks the backend of a unit: <unit>_win32.cpp on Windows, <unit>_posix.cpp elsewhere.
function(qor_platform_sources out)
  set(result)
  foreach(unit ${ARGN})
    if(WIN32)
      list(APPEND result "${unit}_win32.cpp")
    else()
      list(APPEND result "${unit}_posix.cpp")
    endif()
  endforeach()
  set(${out} ${result} PARENT_SCOPE)
endfunction()

# A GoogleTest executable registered with ctest one case at a time. Cases are listed when ctest
# runs, so the Windows build does not start Wine at build time.
function(qor_add_gtest target)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBRARIES;PROPERTIES" ${ARGN})
  add_executable(${target} ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE ${ARG_LIBRARIES} GTest::gmock GTest::gtest_main)
  qor_target_warnings(${target})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  gtest_discover_tests(${target}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    PROPERTIES TIMEOUT ${ARG_TIMEOUT} ${ARG_PROPERTIES})
endfunction()
