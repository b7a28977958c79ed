# What `cmake --install` puts where. Included at the end of the top-level CMakeLists.txt, once every
# target exists.
include(GNUInstallDirs)

if(APPLE)
  # The application bundle; the system's own disk-image tool is used there, so no tool is installed.
  include(${CMAKE_CURRENT_LIST_DIR}/macos.cmake)
  return()
endif()

# The application and the Linux disk-image tool go into the same folder, where the application looks
# for the tool, so a user can also run the tool from a terminal.
if(TARGET quorbel)
  install(TARGETS quorbel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET quorbel-imagetool)
  install(TARGETS quorbel-imagetool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES ${CMAKE_SOURCE_DIR}/resources/packaging/quorbel.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_SOURCE_DIR}/resources/icons/quorbel.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
# The password dialog the tool runs when it needs a password; beside the tool, where the application
# points QUORBEL_ASKPASS, and on the PATH for a terminal user.
if(TARGET quorbel-askpass)
  install(TARGETS quorbel-askpass RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
# The manual, as the help window shows it (PDF) and as plain Markdown text.
if(TARGET quorbel_manual_pdf)
  install(FILES ${CMAKE_BINARY_DIR}/resources/manual/QuorbelHelp.pdf
                ${CMAKE_SOURCE_DIR}/resources/manual/QuorbelHelp.md
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/quorbel)
endif()

# A Debian package from the same rules: cpack -G DEB --config build/CPackConfig.cmake
set(CPACK_PACKAGE_NAME quorbel)
set(CPACK_PACKAGE_VENDOR "Quorbel")
set(CPACK_PACKAGE_CONTACT "Quorbel maintainers <maintainers@quorbel.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Utility for sparse bundle disk images")
set(CPACK_PACKAGE_DESCRIPTION
    "Creates, resizes, compacts and re-passwords sparse bundle disk images (the macOS on-disk format) from one window, with its own disk-image tool for the command line.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# Shared libraries are found by dpkg-shlibdeps; what is only loaded or run at run time is named here:
# Qt's platform plugins (the window) and the formatters the tool runs for each file system.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "exfatprogs, dosfstools, udftools, apfsprogs")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://quorbel.example/")
include(CPack)
