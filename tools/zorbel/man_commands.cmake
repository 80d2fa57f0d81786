# Writes a help2man include file with a section per command, each the
# command's own help page, so that the man page says what every command
# takes exactly as the tool does.
# usage: cmake -DTOOL=path/to/zorbel -DOUTPUT=file -P man_commands.cmake
set(text "")
foreach(command list info boot send recv echo bench wait watch demo)
  execute_process(COMMAND ${TOOL} help ${command} OUTPUT_VARIABLE help RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "'zorbel help ${command}' failed")
  endif()
  # roff: a backslash is written twice, and a line may not start with a dot.
  string(REPLACE "\\" "\\\\" help "${help}")
  string(REPLACE "-" "\\-" help "${help}")
  string(REGEX REPLACE "(^|\n)\\." "\\1\\\\&." help "${help}")
  string(TOUPPER "${command}" name)
  string(APPEND text "[COMMAND ${name}]\n.nf\n${help}.fi\n")
endforeach()
file(WRITE ${OUTPUT} "${text}")
