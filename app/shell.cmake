# The application shell: delegate, menu bar, help window. Included from app/CMakeLists.txt after
# rules.cmake.

find_package(Qt6 REQUIRED COMPONENTS Widgets Pdf PdfWidgets)

add_library(quorbel_app_shell STATIC
  ${CMAKE_CURRENT_LIST_DIR}/accessible_combo_box.cpp
  ${CMAKE_CURRENT_LIST_DIR}/accessible_combo_box.h
  ${CMAKE_CURRENT_LIST_DIR}/app_delegate.cpp
  ${CMAKE_CURRENT_LIST_DIR}/app_delegate.h
  ${CMAKE_CURRENT_LIST_DIR}/help_window.cpp
  ${CMAKE_CURRENT_LIST_DIR}/help_window.h
)
set_target_properties(quorbel_app_shell PROPERTIES AUTOMOC ON)
target_link_libraries(quorbel_app_shell PUBLIC quorbel_app_update quorbel_app_manual quorbel_ui Qt6::Widgets Qt6::Pdf
                      Qt6::PdfWidgets)
