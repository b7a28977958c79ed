# Every translation is complete and current: lupdate gathers the texts of today's sources into a copy
# of each .ts, and no entry may then be unfinished (a new or changed text) or empty.
# -DLUPDATE= -DSOURCE_DIR= -DSOURCES=app;ui;... -DTS_FILES=a.ts;b.ts -DSCRATCH=
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE "${SCRATCH}")
file(MAKE_DIRECTORY "${SCRATCH}")
foreach(ts IN LISTS TS_FILES)
  get_filename_component(name "${ts}" NAME)
  file(COPY_FILE "${ts}" "${SCRATCH}/${name}")
  execute_process(COMMAND "${LUPDATE}" -silent -no-obsolete -locations none -I "${SOURCE_DIR}" ${SOURCES} -ts "${SCRATCH}/${name}"
                  WORKING_DIRECTORY "${SOURCE_DIR}" RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "lupdate failed (${result}):\n${out}")
  endif()
  file(READ "${SCRATCH}/${name}" text)
  string(REGEX MATCHALL "<source>[^<]*</source>[^<]*(<comment>[^<]*</comment>[^<]*)?<translation( type=\"unfinished\"/?>|></translation>)" untranslated "${text}")
  list(TRANSFORM untranslated REPLACE "<source>([^<]*)</source>.*" "\\1")
  if(untranslated)
    message(SEND_ERROR "${name} lacks a finished translation of (run the target quorbel_update_translations, then translate):\n  "
                       "${untranslated}")
  endif()
endforeach()
