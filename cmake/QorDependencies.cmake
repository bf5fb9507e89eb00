# Third-party dependencies, all from Debian's packages.

# spdlog and fmt are used header-only in every build. Only their two include folders are
# exposed (through links in the build tree), so a cross build never sees the host's other headers.
set(QOR_SPDLOG_INCLUDE_ROOT "/usr/include" CACHE PATH "Folder that holds spdlog/ and fmt/ headers")
set(_qor_dep_include "${CMAKE_BINARY_DIR}/_deps/include")
file(MAKE_DIRECTORY "${_qor_dep_include}")
foreach(_dir spdlog fmt)
  if(NOT EXISTS "${QOR_SPDLOG_INCLUDE_ROOT}/${_dir}")
    message(FATAL_ERROR "${QOR_SPDLOG_INCLUDE_ROOT}/${_dir} is missing: run scripts/install-deps.sh")
  endif()
  file(CREATE_LINK "${QOR_SPDLOG_INCLUDE_ROOT}/${_dir}" "${_qor_dep_include}/${_dir}" SYMBOLIC)
endforeach()
add_library(qor_spdlog INTERFACE)
add_library(qor::spdlog ALIAS qor_spdlog)
target_include_directories(qor_spdlog SYSTEM INTERFACE "${_qor_dep_include}")
target_compile_definitions(qor_spdlog INTERFACE SPDLOG_FMT_EXTERNAL FMT_HEADER_ONLY=1)
if(WIN32)
  # Windows log paths go to spdlog in UTF-16, so a log folder under a non-ASCII user profile opens
  # without a lossy ANSI conversion. It changes spdlog's types: every user must see the same setting.
  target_compile_definitions(qor_spdlog INTERFACE SPDLOG_WCHAR_FILENAMES)
endif()

if(QOR_BUILD_TESTS)
  # GoogleTest is built from Debian's sources so that the cross and sanitizer builds get a matching copy.
  set(QOR_GOOGLETEST_SOURCE "/usr/src/googletest" CACHE PATH "GoogleTest source tree")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  if(EXISTS "${QOR_GOOGLETEST_SOURCE}/CMakeLists.txt")
    add_subdirectory("${QOR_GOOGLETEST_SOURCE}" "${CMAKE_BINARY_DIR}/_deps/googletest" EXCLUDE_FROM_ALL SYSTEM)
  else()
    # MSVC developers get GoogleTest from the vcpkg manifest.
    find_package(GTest CONFIG REQUIRED)
  endif()
  include(GoogleTest)
endif()

if(QOR_BUILD_BENCH AND NOT CMAKE_CROSSCOMPILING)
  find_package(benchmark CONFIG REQUIRED)
endif()
