# The application shell: delegate and menu bar, and the deferred parts (help window, update check's
# download) that the first window does not need. Included from app/CMakeLists.txt after rules.cmake.

find_package(Qt6 REQUIRED COMPONENTS Widgets Network Pdf PdfWidgets)

# The delegate reaches the deferred parts only through their table (deferred_parts.h), so the
# program itself links neither Qt Pdf nor Qt Network.
add_library(quorbel_app_shell STATIC
  ${CMAKE_CURRENT_LIST_DIR}/accessible_combo_box.cpp
  ${CMAKE_CURRENT_LIST_DIR}/accessible_combo_box.h
  ${CMAKE_CURRENT_LIST_DIR}/app_delegate.cpp
  ${CMAKE_CURRENT_LIST_DIR}/app_delegate.h
  ${CMAKE_CURRENT_LIST_DIR}/deferred_parts.h
  ${CMAKE_CURRENT_LIST_DIR}/deferred_parts_loader.cpp
)
set_target_properties(quorbel_app_shell PROPERTIES AUTOMOC ON)
# The manual (PDF and text) goes with the help window into the parts, not into the program.
target_link_libraries(quorbel_app_shell PUBLIC quorbel_app_rules quorbel_ui Qt6::Widgets)

# The deferred parts as a static library: linked into tests (and the macOS program) directly.
set(QUORBEL_PARTS_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/deferred_parts.cpp
  ${CMAKE_CURRENT_LIST_DIR}/help_window.cpp
  ${CMAKE_CURRENT_LIST_DIR}/help_window.h
)
add_library(quorbel_app_parts STATIC ${QUORBEL_PARTS_SOURCES})
set_target_properties(quorbel_app_parts PROPERTIES AUTOMOC ON)
target_link_libraries(quorbel_app_parts PUBLIC quorbel_app_update quorbel_app_manual Qt6::Widgets Qt6::Pdf
                      Qt6::PdfWidgets)

# On Linux the same parts as a module, loaded by the program on first use, from beside it in the build
# tree or from the install tree's private library folder (multiarch where the system has it).
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(QUORBEL_PARTS_INSTALL_DIR lib/${CMAKE_LIBRARY_ARCHITECTURE}/quorbel CACHE INTERNAL "")
else()
  set(QUORBEL_PARTS_INSTALL_DIR lib/quorbel CACHE INTERNAL "")
endif()
target_compile_definitions(quorbel_app_shell PRIVATE QUORBEL_PARTS_INSTALL_DIR="${QUORBEL_PARTS_INSTALL_DIR}")
if(NOT APPLE)
  add_library(quorbel-parts MODULE ${QUORBEL_PARTS_SOURCES})
  set_target_properties(quorbel-parts PROPERTIES AUTOMOC ON PREFIX "" LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
  target_link_libraries(quorbel-parts PRIVATE quorbel_app_update quorbel_app_manual Qt6::Widgets Qt6::Pdf
                        Qt6::PdfWidgets)
endif()
