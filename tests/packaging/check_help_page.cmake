# The tool's --help and its manual page name the same verbs and the same options, so that a verb or
# option added to one and not to the other fails here with the difference named.
# -DTOOL=path/to/quorbel-imagetool -DPAGE=man/quorbel-imagetool.1
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND "${TOOL}" --help OUTPUT_VARIABLE out ERROR_VARIABLE err)
# The usage text, without a complaint line about the call itself.
string(REGEX REPLACE "(^|\n)quorbel-imagetool: [^\n]*" "" help "\n${out}${err}")
file(READ "${PAGE}" page)
string(REPLACE "\\-" "-" page "${page}")
# The examples may call other programs with their own options.
string(REGEX REPLACE "\n\\.SH EXAMPLES.*" "" page "${page}")

# Options: a dash-word that follows a blank, a bracket or a bar ("sparse-band-size" is not one). The
# brackets go first: CMake's lists do not split inside them.
function(options_of text out)
  string(REGEX REPLACE "[][|()]" " " text "${text}")
  string(REGEX MATCHALL "[ \t\n]--?[a-z]+" found "${text}")
  list(TRANSFORM found STRIP)
  list(REMOVE_DUPLICATES found)
  list(SORT found)
  set(${out} "${found}" PARENT_SCOPE)
endfunction()
options_of("${help}" help_options)
options_of("${page}" page_options)
# Verbs: the first word of each usage line indented by two blanks; on the page, each synopsis line.
string(REGEX MATCHALL "\n  [a-z]+" help_verbs "${help}")
string(REGEX MATCHALL "\n\\.B quorbel-imagetool [a-z]+" page_verbs "${page}")
list(TRANSFORM help_verbs REPLACE ".* " "")
list(TRANSFORM page_verbs REPLACE ".* " "")

function(compare what help_list page_list)
  set(missing ${help_list})
  list(REMOVE_ITEM missing ${page_list})
  set(extra ${page_list})
  list(REMOVE_ITEM extra ${help_list})
  if(missing OR extra OR NOT help_list)
    message(SEND_ERROR "The ${what} of `quorbel-imagetool --help` and man/quorbel-imagetool.1 differ.\n"
                       "  in --help only (describe them on the page): ${missing}\n"
                       "  on the page only (remove them, or add them to --help): ${extra}\n"
                       "  --help lists: ${help_list}")
  endif()
endfunction()
compare(verbs "${help_verbs}" "${page_verbs}")
compare(options "${help_options}" "${page_options}")
