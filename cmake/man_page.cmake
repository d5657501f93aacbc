# Writes the manual page of a command from its --help text, as help2man does:
#   cmake -DPROGRAM=<path> [-DCOMMAND=<subcommand>] -DNAME=<name> -DSUMMARY=<one line>
#         -DVERSION=<version> -DOUTPUT=<file> -P man_page.cmake
execute_process(COMMAND ${PROGRAM} ${COMMAND} --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} --help failed")
endif()
# roff: backslashes and minus signs escaped, no line starting with a control character.
string(REPLACE "\\" "\\e" help "${help}")
string(REPLACE "-" "\\-" help "${help}")
string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
string(TOUPPER "${NAME}" title)
file(WRITE "${OUTPUT}"
     ".TH ${title} 1 \"\" \"qor_kelm_git ${VERSION}\" \"User Commands\"\n"
     ".SH NAME\n${NAME} \\- ${SUMMARY}\n"
     ".SH DESCRIPTION\n.nf\n${help}.fi\n"
     ".SH SEE ALSO\ngit(1), /usr/share/doc/qor\\-kelm\\-git/README.md\n")
