# Runs a command and writes its standard output to a file, for build steps
# whose output is the file (add_custom_command cannot redirect portably).
#   cmake -DOUTPUT=FILE -P write_output.cmake -- PROGRAM ARGS...
# A failed command removes the half-written file and fails the build.
set(command)
set(after_dashes OFF)
foreach(i RANGE 1 ${CMAKE_ARGC})
  if(i EQUAL CMAKE_ARGC)
    break()
  endif()
  if(after_dashes)
    list(APPEND command "${CMAKE_ARGV${i}}")
  elseif(CMAKE_ARGV${i} STREQUAL "--")
    set(after_dashes ON)
  endif()
endforeach()
execute_process(COMMAND ${command} OUTPUT_FILE ${OUTPUT}.part
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE ${OUTPUT}.part)
  message(FATAL_ERROR "${command}: ${status}")
endif()
file(RENAME ${OUTPUT}.part ${OUTPUT})
