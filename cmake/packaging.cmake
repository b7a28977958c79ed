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
# The password dialog the tool runs when it needs a password; beside the tool, where the application
# points QUORBEL_ASKPASS, and on the PATH for a terminal user.
if(TARGET quorbel-askpass)
  install(TARGETS quorbel-askpass RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# The desktop's menu entry, the software centres' description (named after the same id) and the icon,
# scalable and in every PNG size rendered at build time.
set(QUORBEL_APP_ID example.quorbel.SparseBundleUtility)
install(FILES ${CMAKE_SOURCE_DIR}/resources/packaging/${QUORBEL_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_SOURCE_DIR}/resources/packaging/${QUORBEL_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${CMAKE_SOURCE_DIR}/resources/icons/quorbel.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
if(TARGET quorbel)
  include(${CMAKE_CURRENT_LIST_DIR}/icons.cmake)
  foreach(size IN LISTS QUORBEL_ICON_SIZES)
    quorbel_icon_png(${size} png)
    install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
  endforeach()
endif()

# The manual, as the help window shows it (PDF) and as plain Markdown text; the licence and the
# package's history where Debian keeps them.
set(QUORBEL_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/quorbel)
if(TARGET quorbel_manual_pdf)
  install(FILES ${CMAKE_BINARY_DIR}/resources/manual/QuorbelHelp.pdf
                ${CMAKE_SOURCE_DIR}/resources/manual/QuorbelHelp.md
          DESTINATION ${QUORBEL_DOC_DIR})
endif()
install(FILES ${CMAKE_SOURCE_DIR}/resources/packaging/copyright DESTINATION ${QUORBEL_DOC_DIR})
# The manual registered with the desktop's documentation browsers, and lintian's notes on what it
# cannot see (resources/packaging/lintian-overrides says why).
install(FILES ${CMAKE_SOURCE_DIR}/resources/packaging/doc-base RENAME quorbel DESTINATION ${CMAKE_INSTALL_DATADIR}/doc-base)
install(FILES ${CMAKE_SOURCE_DIR}/resources/packaging/lintian-overrides RENAME quorbel
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides)
configure_file(${CMAKE_SOURCE_DIR}/resources/packaging/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
execute_process(COMMAND gzip -9n -c ${CMAKE_BINARY_DIR}/packaging/changelog
                OUTPUT_FILE ${CMAKE_BINARY_DIR}/packaging/changelog.gz COMMAND_ERROR_IS_FATAL ANY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz DESTINATION ${QUORBEL_DOC_DIR})

# A stripped install (cpack, `cmake --install --strip`) also drops the compiler's notes, which
# nothing at run time reads.
set(QUORBEL_STRIPPED bin/quorbel bin/quorbel-imagetool bin/quorbel-askpass)
if(TARGET quorbel-parts)
  list(APPEND QUORBEL_STRIPPED ${QUORBEL_PARTS_INSTALL_DIR}/quorbel-parts.so)
endif()
install(CODE "set(QUORBEL_OBJCOPY \"${CMAKE_OBJCOPY}\")\nset(QUORBEL_STRIPPED \"${QUORBEL_STRIPPED}\")")
install(CODE [[
  if(CMAKE_INSTALL_DO_STRIP)
    foreach(file IN LISTS QUORBEL_STRIPPED)
      set(path "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${file}")
      if(EXISTS "${path}")
        execute_process(COMMAND "${QUORBEL_OBJCOPY}" --remove-section=.comment --remove-section=.note "${path}"
                        COMMAND_ERROR_IS_FATAL ANY)
      endif()
    endforeach()
  endif()
]])

# A Debian package from the same rules: cpack -G DEB --config build/CPackConfig.cmake
# (scripts/package makes the one for distribution, without the launch update check).
set(CPACK_PACKAGE_NAME quorbel)
set(CPACK_PACKAGE_VENDOR "Quorbel")
set(CPACK_PACKAGE_CONTACT "Quorbel maintainers <maintainers@quorbel.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Utility for sparse bundle disk images")
# The long description below the summary; Debian wraps nothing itself, so each line stays under 80
# columns.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Creates, resizes, compacts and re-passwords sparse bundle disk images (the
macOS on-disk format) from one window, with its own disk-image tool for the
command line.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# Shared libraries are found by dpkg-shlibdeps; what is only loaded or run at run time is named here:
# Qt's platform plugins (the window), the formatters the tool runs for each file system and FUSE's
# mount helper for attach.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "exfatprogs, dosfstools, udftools, apfsprogs, fuse3")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://quorbel.example/")
include(CPack)
