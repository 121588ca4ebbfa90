# Writes a section-1 man page for one of the tools from its own --help (and each command's), so
# the page cannot drift from the program. Run as a script:
#   cmake -DTOOL=<path> -DNAME=<program> -DVERSION=<x.y.z> -DOUTPUT=<file.1> [-DSEE_ALSO=<program>]
#         -P BrisvaneManPage.cmake
foreach(variable TOOL NAME VERSION OUTPUT)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "BrisvaneManPage.cmake needs -D${variable}=...")
  endif()
endforeach()

# Runs the tool with ARGN and leaves its standard output in `result`; any other outcome fails the
# build, since a page written from nothing would be a page that lies.
function(tool_help result)
  execute_process(COMMAND ${TOOL} ${ARGN} --help
    OUTPUT_VARIABLE text ERROR_VARIABLE errors RESULT_VARIABLE status
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  if(NOT status EQUAL 0 OR text STREQUAL "")
    message(FATAL_ERROR "${NAME} ${ARGN} --help failed (${status}): ${errors}")
  endif()
  set(${result} "${text}" PARENT_SCOPE)
endfunction()

# Help text as literal roff: backslashes doubled, lines that would read as requests protected.
function(roff_literal result text)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  set(${result} ".nf\n${text}\n.fi\n" PARENT_SCOPE)
endfunction()

tool_help(help)
# The help opens with the program's one-sentence description: the page's summary, lowercase and
# without its full stop.
string(REGEX MATCH "^[^\n]+" summary "${help}")
string(REGEX REPLACE "\\.$" "" summary "${summary}")
string(SUBSTRING "${summary}" 0 1 first)
string(TOLOWER "${first}" first)
string(SUBSTRING "${summary}" 1 -1 rest)
set(summary "${first}${rest}")
string(REPLACE "-" "\\-" name_roff "${NAME}")

roff_literal(body "${help}")
set(page ".TH ${NAME} 1 \"\" \"${NAME} ${VERSION}\" \"User Commands\"\n")
string(APPEND page ".SH NAME\n${name_roff} \\- ${summary}\n.SH DESCRIPTION\n${body}")

# Every command listed under "SUBCOMMANDS:" gets a section of its own help.
string(REGEX MATCH "\n[Ss][Uu][Bb][Cc][Oo][Mm][Mm][Aa][Nn][Dd][Ss]:\n(.*)" commands "${help}")
string(REPLACE "\n" ";" lines "${CMAKE_MATCH_1}")
foreach(line ${lines})
  if(line MATCHES "^  ([a-z][a-z0-9-]*)( |$)")
    set(command "${CMAKE_MATCH_1}")
    tool_help(command_help ${command})
    roff_literal(command_body "${command_help}")
    string(APPEND page ".SH COMMAND: ${command}\n${command_body}")
  elseif(line STREQUAL "" OR NOT line MATCHES "^ ")
    break()
  endif()
endforeach()
if(DEFINED SEE_ALSO)
  string(REPLACE "-" "\\-" see_also "${SEE_ALSO}")
  string(APPEND page ".SH SEE ALSO\n.BR ${see_also} (1)\n")
endif()
file(WRITE ${OUTPUT} "${page}")
