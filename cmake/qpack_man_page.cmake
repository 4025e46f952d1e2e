# Writes qpack's man page from its --help text.
#   cmake -DQPACK=qpack -DVERSION=x.y.z -DOUTPUT=qpack.1 -P qpack_man_page.cmake
execute_process(COMMAND ${QPACK} --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${QPACK} --help failed: ${status}")
endif()

# roff: a backslash is written \e, and a line must not start with . or '.
string(REPLACE "\\" "\\e" help "${help}")
string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")

# Usage line, summary, commands, exit status.
string(REGEX MATCH "^Usage: ([^\n]*)\n([^\n]*)\n\n(.*)\n\n(Exit status: .*)$" matched "${help}")
if(NOT matched)
  message(FATAL_ERROR "qpack --help is not laid out as this script reads it")
endif()
set(usage "${CMAKE_MATCH_1}")
set(summary "${CMAKE_MATCH_2}")
set(commands "${CMAKE_MATCH_3}")
set(status "${CMAKE_MATCH_4}")
string(REGEX REPLACE "^Exit status: " "" status "${status}")
string(REGEX REPLACE "\n$" "" status "${status}")
string(REGEX REPLACE "\\.$" "" summary "${summary}")
string(TOLOWER "${summary}" summary)

file(WRITE ${OUTPUT} ".TH QPACK 1 \"\" \"qunpack ${VERSION}\" \"User Commands\"
.SH NAME
qpack \\- ${summary}
.SH SYNOPSIS
.B ${usage}
.SH COMMANDS
.nf
${commands}
.fi
.SH EXIT STATUS
${status}
.SH FILES
.TP
.I ../share/qunpack/qunpack.exe, ../share/qunpack/qunpack-uninstall.exe
The installer stub and the uninstaller stub that
.B qpack build
takes without
.BR \\-\\-stub ,
relative to the folder qpack runs from (for a qpack in
.IR /usr/bin ,
in
.IR /usr/share/qunpack ).
Where they are not, qpack takes them from its own folder (qpack.exe from
the Windows zip).
")
