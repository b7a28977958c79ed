# Every macOS-only build setting, in one place. Included twice from the top-level CMakeLists.txt:
# before project() for the compiler settings, and at the end for the application bundle.
# (Planned for macOS; the Linux build machines cannot run it.)

if(NOT PROJECT_NAME)
  # One universal executable; the lowest system the Qt in use supports (10.14 for Qt 6.4, 11 for 6.5+).
  if(CMAKE_HOST_SYSTEM_NAME STREQUAL "Darwin")
    set(CMAKE_OSX_ARCHITECTURES "arm64;x86_64" CACHE STRING "Architectures of the universal build")
    set(CMAKE_OSX_DEPLOYMENT_TARGET "10.14" CACHE STRING "Lowest macOS version; 11.0 with Qt 6.5 or later")
  endif()
  return()
endif()

if(NOT APPLE OR NOT TARGET quorbel)
  return()
endif()

set(QUORBEL_BUNDLE_NAME "Quorbel Sparse Bundle Utility")
set_target_properties(quorbel PROPERTIES
  MACOSX_BUNDLE TRUE
  OUTPUT_NAME "${QUORBEL_BUNDLE_NAME}"
  MACOSX_BUNDLE_INFO_PLIST "${CMAKE_SOURCE_DIR}/resources/packaging/Info.plist.in"
  MACOSX_BUNDLE_BUNDLE_NAME "${QUORBEL_BUNDLE_NAME}"
  # Equal to the settings domain (organisation domain reversed, then the application name).
  MACOSX_BUNDLE_GUI_IDENTIFIER "example.quorbel.SparseBundleUtility"
  MACOSX_BUNDLE_SHORT_VERSION_STRING "${PROJECT_VERSION}"
  MACOSX_BUNDLE_BUNDLE_VERSION "${PROJECT_VERSION}"
  MACOSX_BUNDLE_COPYRIGHT "Quorbel"
)
# An .icns icon is used when one has been made from resources/icons/quorbel.svg.
if(EXISTS "${CMAKE_SOURCE_DIR}/resources/icons/quorbel.icns")
  set_target_properties(quorbel PROPERTIES MACOSX_BUNDLE_ICON_FILE quorbel.icns)
  set_source_files_properties("${CMAKE_SOURCE_DIR}/resources/icons/quorbel.icns" PROPERTIES
    MACOSX_PACKAGE_LOCATION Resources)
  target_sources(quorbel PRIVATE "${CMAKE_SOURCE_DIR}/resources/icons/quorbel.icns")
endif()

# A self-contained bundle: macdeployqt copies Qt into it at install time.
find_program(QUORBEL_MACDEPLOYQT macdeployqt HINTS "${Qt6_DIR}/../../../bin")
install(TARGETS quorbel BUNDLE DESTINATION .)
if(QUORBEL_MACDEPLOYQT)
  install(CODE "execute_process(COMMAND \"${QUORBEL_MACDEPLOYQT}\"
                \"\${CMAKE_INSTALL_PREFIX}/${QUORBEL_BUNDLE_NAME}.app\" COMMAND_ERROR_IS_FATAL ANY)")
endif()
