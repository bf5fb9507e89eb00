# Release artifacts: what `cmake --install` lays out and CPack packs (scripts/package.sh builds both
# platforms). The layout is flat, as in a launcher's installation folder:
#
#   QORLauncherUpdater.exe, QORLauncherUpdater.exe.debug   the updater, stripped, and its debug information
#   example/QORLauncher.exe (+ .debug), example/main.cpp   the reference launcher and its source
#   LICENSE, README.md, docs/                              the launcher team's guide
#   SHA256SUMS                                             every other file's SHA-256 (sha256sum -c)
#
# Each program is stripped at install time with its debug information split into a .debug file beside
# it and named by its .gnu_debuglink (gdb and the mingw gdb find it there). On Windows the programs are
# then Authenticode-signed when QOR_SIGN_CERT is set (cmake/QorReleaseBinary.cmake): the signature must
# come last, as any later change to the file breaks it.

if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  # A flat tree is no system install: never spill it into /usr/local by accident.
  set(CMAKE_INSTALL_PREFIX "${CMAKE_BINARY_DIR}/install" CACHE PATH "Install folder" FORCE)
endif()

if(WIN32)
  set(_qor_package_platform "windows-x64")
else()
  set(_qor_package_platform "linux-${CMAKE_SYSTEM_PROCESSOR}")
endif()

install(TARGETS QORLauncherUpdater RUNTIME DESTINATION .)
install(TARGETS QORLauncher RUNTIME DESTINATION example)
install(FILES examples/launcher/main.cpp DESTINATION example)
install(FILES LICENSE README.md DESTINATION .)
if(MSVC)
  # MSVC keeps debug information in program databases: they go beside the programs as they are.
  install(FILES "$<TARGET_PDB_FILE:QORLauncherUpdater>" DESTINATION . OPTIONAL)
  install(FILES "$<TARGET_PDB_FILE:QORLauncher>" DESTINATION example OPTIONAL)
endif()
install(DIRECTORY docs/ DESTINATION docs)

# Runs after the files above are in place (rules run in the order they are given).
install(CODE "
  set(QOR_OBJCOPY \"${CMAKE_OBJCOPY}\")
  set(QOR_IS_WINDOWS \"${WIN32}\")
  include(\"${CMAKE_CURRENT_LIST_DIR}/QorReleaseBinary.cmake\")
  set(_root \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
  qor_release_binary(\"\${_root}/QORLauncherUpdater.exe\" \"QOR Launcher Self Updater\")
  qor_release_binary(\"\${_root}/example/QORLauncher.exe\" \"QOR reference launcher\")
  qor_write_checksums(\"\${_root}\")
")

set(CPACK_PACKAGE_NAME "QORLauncherUpdater")
set(CPACK_PACKAGE_VENDOR "QOR")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Self-updater of the QOR game launcher")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_FILE_NAME "QORLauncherUpdater-${PROJECT_VERSION}-${_qor_package_platform}")
set(CPACK_RESOURCE_FILE_LICENSE "${CMAKE_CURRENT_SOURCE_DIR}/LICENSE")
set(CPACK_RESOURCE_FILE_README "${CMAKE_CURRENT_SOURCE_DIR}/README.md")
if(WIN32)
  set(CPACK_GENERATOR "ZIP")
else()
  set(CPACK_GENERATOR "TGZ")
endif()
# <package>.sha256 beside each archive.
set(CPACK_PACKAGE_CHECKSUM "SHA256")
set(CPACK_VERBATIM_VARIABLES ON)
include(CPack)
