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
