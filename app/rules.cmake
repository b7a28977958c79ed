# The update check's rules and its network edge, the help manual as a PDF resource, and the addresses
# the application contacts. Included from app/CMakeLists.txt.

find_package(Qt6 REQUIRED COMPONENTS Core Gui Network)
find_package(PkgConfig REQUIRED)
pkg_check_modules(QUORBEL_APP_PLIST REQUIRED IMPORTED_TARGET GLOBAL libplist-2.0)

# Every address lies under the reserved domain quorbel.example, so no build contacts a host we do not
# control; a release build sets real ones (-DupdateListAddress=...).
set(updateListAddress "https://quorbel.example/updates/updatelist.plist" CACHE STRING
    "HTTPS address of the update list downloaded at launch")
set(downloadHostPrefix "https://quorbel.example/downloads/" CACHE STRING
    "HTTPS address prefix (scheme, host, path) that an update's download address must lie under")
set(supportPageAddress "https://quorbel.example/support/" CACHE STRING
    "HTTPS address of the support web page")
set(updatesPageAddress "https://quorbel.example/updates/" CACHE STRING
    "HTTPS address of the web page listing updates")

# Plain rules: Qt Core value types and libplist, no widgets, no network.
add_library(quorbel_app_rules STATIC
  ${CMAKE_CURRENT_LIST_DIR}/update_rules.cpp
  ${CMAKE_CURRENT_LIST_DIR}/update_rules.h
)
target_include_directories(quorbel_app_rules PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(quorbel_app_rules PUBLIC Qt6::Core PkgConfig::QUORBEL_APP_PLIST)
target_compile_definitions(quorbel_app_rules PUBLIC
  QUORBEL_UPDATE_LIST_ADDRESS="${updateListAddress}"
  QUORBEL_DOWNLOAD_HOST_PREFIX="${downloadHostPrefix}"
  QUORBEL_SUPPORT_PAGE_ADDRESS="${supportPageAddress}"
  QUORBEL_UPDATES_PAGE_ADDRESS="${updatesPageAddress}"
)

# The update check's network edge: settings, clock and download, with alerts, menu and browser supplied
# by the application as callbacks.
add_library(quorbel_app_update STATIC
  ${CMAKE_CURRENT_LIST_DIR}/update_checker.cpp
  ${CMAKE_CURRENT_LIST_DIR}/update_checker.h
)
set_target_properties(quorbel_app_update PROPERTIES AUTOMOC ON)
target_link_libraries(quorbel_app_update PUBLIC quorbel_app_rules Qt6::Network)

# The help manual: Markdown rendered into QuorbelHelp.pdf at build time with Qt alone, embedded as the
# Qt resource ":/QuorbelHelp.pdf".
find_package(Qt6 REQUIRED COMPONENTS Gui)
add_executable(quorbel_manual_pdf ${CMAKE_CURRENT_LIST_DIR}/manual_pdf_main.cpp)
target_link_libraries(quorbel_manual_pdf PRIVATE Qt6::Gui)
# A build-time tool, not part of the application.
set_target_properties(quorbel_manual_pdf PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tools)

set(QUORBEL_MANUAL_SOURCE ${CMAKE_SOURCE_DIR}/resources/manual/QuorbelHelp.md)
set(QUORBEL_MANUAL_PDF ${CMAKE_BINARY_DIR}/resources/manual/QuorbelHelp.pdf)
add_custom_command(
  OUTPUT ${QUORBEL_MANUAL_PDF}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/resources/manual
  COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
          $<TARGET_FILE:quorbel_manual_pdf> ${QUORBEL_MANUAL_SOURCE} ${QUORBEL_MANUAL_PDF}
          "Quorbel Sparse Bundle Utility Manual"
  DEPENDS quorbel_manual_pdf ${QUORBEL_MANUAL_SOURCE}
  COMMENT "Rendering the help manual to PDF"
  VERBATIM)
set_source_files_properties(${QUORBEL_MANUAL_PDF} PROPERTIES GENERATED TRUE QT_RESOURCE_ALIAS QuorbelHelp.pdf)

add_library(quorbel_app_manual STATIC ${CMAKE_CURRENT_LIST_DIR}/help_document.cpp ${CMAKE_CURRENT_LIST_DIR}/help_document.h)
target_include_directories(quorbel_app_manual PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(quorbel_app_manual PUBLIC Qt6::Core)
qt_add_resources(quorbel_app_manual quorbel_manual PREFIX / FILES ${QUORBEL_MANUAL_PDF})
# The same manual as text, which the help window gives screen readers (a PDF view exposes none).
set_source_files_properties(${QUORBEL_MANUAL_SOURCE} PROPERTIES QT_RESOURCE_ALIAS QuorbelHelp.md)
qt_add_resources(quorbel_app_manual quorbel_manual_text PREFIX / FILES ${QUORBEL_MANUAL_SOURCE})
