# The menu entry and the software centres' description validate, and name each other: the metainfo's
# id is the desktop file's name, the one the program gives the desktop.
# -DDESKTOP=....desktop -DMETAINFO=....metainfo.xml -DMAIN_SOURCE=app/main.cpp
cmake_minimum_required(VERSION 3.25)
# A validator fails the check with a non-zero exit or any line that `complaint` matches.
function(run complaint)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT result EQUAL 0 OR out MATCHES "${complaint}")
    message(SEND_ERROR "failed (${result}): ${ARGN}\n${out}")
  endif()
endfunction()
run(".+" desktop-file-validate "${DESKTOP}")
# Pedantic notes (P:) stay: the reverse-DNS id's capitals are the program's identity everywhere.
run("(^|\n)[EW]:" appstreamcli validate --pedantic --no-net --explain "${METAINFO}")

get_filename_component(id "${DESKTOP}" NAME_WLE)
file(READ "${METAINFO}" metainfo)
file(READ "${MAIN_SOURCE}" main)
foreach(want "<id>${id}</id>" "<launchable type=\"desktop-id\">${id}.desktop</launchable>"
             "<binary>quorbel-imagetool</binary>")
  string(FIND "${metainfo}" "${want}" at)
  if(at EQUAL -1)
    message(SEND_ERROR "the metainfo lacks ${want}")
  endif()
endforeach()
if(NOT main MATCHES "setDesktopFileName\\(QStringLiteral\\(\"${id}\"\\)\\)")
  message(SEND_ERROR "the program does not name its desktop file ${id}")
endif()
