# Installs the build into a scratch prefix and checks that every piece is in place and nothing of the
# build's own (tests, tools, libraries) went with it.
# -DBUILD_DIR= -DPREFIX= -DEXPECT_APP=0|1 -DEXPECT_TOOL=0|1 -DPARTS_DIR=lib/...
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${result}):\n${output}")
endif()

set(id example.quorbel.SparseBundleUtility)
set(expected share/applications/${id}.desktop share/metainfo/${id}.metainfo.xml
    share/icons/hicolor/scalable/apps/quorbel.svg share/doc/quorbel/QuorbelHelp.pdf
    share/doc/quorbel/QuorbelHelp.md share/doc/quorbel/copyright share/doc/quorbel/changelog.gz
    share/man/man1/quorbel.1.gz share/man/man1/quorbel-imagetool.1.gz share/man/man1/quorbel-askpass.1.gz)
if(EXPECT_APP)
  list(APPEND expected bin/quorbel ${PARTS_DIR}/quorbel-parts.so share/icons/hicolor/16x16/apps/quorbel.png
       share/icons/hicolor/256x256/apps/quorbel.png)
endif()
if(EXPECT_TOOL)
  list(APPEND expected bin/quorbel-imagetool bin/quorbel-askpass)
endif()
foreach(f IN LISTS expected)
  if(NOT EXISTS "${PREFIX}/${f}")
    message(FATAL_ERROR "not installed: ${f}\n${output}")
  endif()
endforeach()

file(GLOB_RECURSE installed RELATIVE "${PREFIX}" "${PREFIX}/*")
foreach(f IN LISTS installed)
  if(f MATCHES "(^|/)(test_|bench_|fuzz_|core_child_helper|quorbel_manual_pdf)" OR f MATCHES "\\.(a|h|o)$")
    message(FATAL_ERROR "build-only file installed: ${f}")
  endif()
endforeach()

file(STRINGS "${PREFIX}/share/applications/${id}.desktop" entry)
if(NOT "Exec=quorbel" IN_LIST entry OR NOT "Icon=quorbel" IN_LIST entry)
  message(FATAL_ERROR "the desktop entry does not start the installed program with its icon: ${entry}")
endif()
