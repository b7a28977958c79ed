# Each manual page formats without a groff or man warning and has a NAME line that man's index reads.
# -DPAGES=page.1;page.1...
cmake_minimum_required(VERSION 3.25)
foreach(page IN LISTS PAGES)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "${page}"
                  RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE warnings)
  if(NOT result EQUAL 0 OR NOT warnings STREQUAL "")
    message(SEND_ERROR "${page} does not format cleanly (${result}):\n${warnings}")
  endif()
  get_filename_component(name "${page}" NAME_WLE)
  execute_process(COMMAND lexgrog "${page}" OUTPUT_VARIABLE index RESULT_VARIABLE result)
  if(NOT result EQUAL 0 OR NOT index MATCHES "\"${name} - [^\"]+\"")
    message(SEND_ERROR "${page} has no NAME line for man's index (${result}): ${index}")
  endif()
endforeach()
