# The application icon as PNG files of the sizes desktops and title bars ask for, rendered from the SVG
# at build time into ${CMAKE_BINARY_DIR}/icons/hicolor/SIZExSIZE/apps/quorbel.png.
set(QUORBEL_ICON_SIZES 16 22 24 32 48 64 128 256)
set(QUORBEL_ICON_SVG ${CMAKE_SOURCE_DIR}/resources/icons/quorbel.svg)

function(quorbel_icon_png size out)
  set(${out} ${CMAKE_BINARY_DIR}/icons/hicolor/${size}x${size}/apps/quorbel.png PARENT_SCOPE)
endfunction()

# Renders every size and embeds them in `target` as ":/icons/quorbel-SIZE.png".
function(quorbel_add_icon_resources target)
  find_program(QUORBEL_RSVG_CONVERT rsvg-convert REQUIRED)
  set(pngs)
  foreach(size IN LISTS QUORBEL_ICON_SIZES)
    quorbel_icon_png(${size} png)
    get_filename_component(folder ${png} DIRECTORY)
    add_custom_command(OUTPUT ${png}
                       COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
                       COMMAND ${QUORBEL_RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${QUORBEL_ICON_SVG}
                       DEPENDS ${QUORBEL_ICON_SVG}
                       VERBATIM)
    set_source_files_properties(${png} PROPERTIES GENERATED TRUE QT_RESOURCE_ALIAS icons/quorbel-${size}.png)
    list(APPEND pngs ${png})
  endforeach()
  qt_add_resources(${target} quorbel_icons PREFIX / FILES ${pngs})
endfunction()
