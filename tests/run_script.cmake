# Runs one behaviour script under tessary-run, as CTest's script.<name> test.
#
#   cmake -DRUN=<tessary-run> -DSCRIPT=<file.js> -DMODULE=<libtessary.so>
#         -DWORK=<fresh folder> -P run_script.cmake
#
# WORK is made fresh and holds the configuration store the module registers
# itself in; the script runs with WORK as its current folder. A script
# checks itself and exits 0. Comment lines in the script refine the run;
# the Windows script host ignores them:
#   // expect-exit: N      the exit status expected instead of 0
#   // args: A B ...       arguments for WScript.Arguments
#   // options: O ...      tessary-run options, given before the script
#   //< TEXT              a line of standard input, ended by LF ("\r" in TEXT
#                          stands for CR); without such lines standard input
#                          is empty
#   //<| TEXT             the same without the LF, for a last line without one
#   // mode: stdin         run the script as `tessary-run -` from standard input
#   // mode: eval          run the script's text as `tessary-run -e TEXT`
#   //> TEXT              standard output must be exactly these lines, in order
#   //! TEXT              standard error must contain TEXT
#                          (@SCRIPT@ stands for the script's path as given)
cmake_minimum_required(VERSION 3.25)

foreach(var RUN SCRIPT MODULE WORK)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "run_script.cmake: ${var} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
set(ENV{TESSARY_REGISTRY} "${WORK}/registry.reg")

execute_process(COMMAND "${RUN}" --register "${MODULE}"
                WORKING_DIRECTORY "${WORK}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "registering ${MODULE} failed (${rc}):\n${out}${err}")
endif()

file(STRINGS "${SCRIPT}" lines ENCODING UTF-8)
set(expect_exit 0)
set(script_args)
set(host_options)
set(input "")
set(mode file)
set(expect_out)
set(have_expect_out FALSE)
set(expect_err)
foreach(line IN LISTS lines)
  if(line MATCHES "^// expect-exit: *(-?[0-9]+)")
    set(expect_exit "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^// args: *(.*)$")
    separate_arguments(script_args UNIX_COMMAND "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^// options: *(.*)$")
    separate_arguments(host_options UNIX_COMMAND "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^//<(\\|?) ?(.*)$")
    set(text "${CMAKE_MATCH_2}")
    string(REPLACE "\\r" "\r" text "${text}")
    if(CMAKE_MATCH_1 STREQUAL "|")
      string(APPEND input "${text}")
    else()
      string(APPEND input "${text}\n")
    endif()
  elseif(line MATCHES "^// mode: *([a-z]+)")
    set(mode "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^//> ?(.*)$")
    list(APPEND expect_out "${CMAKE_MATCH_1}")
    set(have_expect_out TRUE)
  elseif(line MATCHES "^//! ?(.*)$")
    list(APPEND expect_err "${CMAKE_MATCH_1}")
  endif()
endforeach()

file(WRITE "${WORK}/stdin.txt" "${input}")
if(mode STREQUAL "stdin")
  set(name "-")
  execute_process(COMMAND "${RUN}" ${host_options} - ${script_args}
                  WORKING_DIRECTORY "${WORK}" INPUT_FILE "${SCRIPT}"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
elseif(mode STREQUAL "eval")
  set(name "-e")
  file(READ "${SCRIPT}" code)
  execute_process(COMMAND "${RUN}" ${host_options} -e "${code}" ${script_args}
                  WORKING_DIRECTORY "${WORK}" INPUT_FILE "${WORK}/stdin.txt"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
elseif(mode STREQUAL "file")
  set(name "${SCRIPT}")
  execute_process(COMMAND "${RUN}" ${host_options} "${SCRIPT}" ${script_args}
                  WORKING_DIRECTORY "${WORK}" INPUT_FILE "${WORK}/stdin.txt"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
else()
  message(FATAL_ERROR "unknown mode '${mode}' in ${SCRIPT}")
endif()

message("${out}")
if(err)
  message("standard error:\n${err}")
endif()

set(failures)
if(NOT rc STREQUAL "${expect_exit}")
  list(APPEND failures "exit status ${rc}, expected ${expect_exit}")
endif()
if(have_expect_out)
  string(REPLACE ";" "\\;" escaped "${out}")
  string(REGEX REPLACE "\n$" "" escaped "${escaped}")
  string(REPLACE "\n" ";" got_out "${escaped}")
  if(NOT got_out STREQUAL expect_out)
    string(REPLACE ";" "\n" want "${expect_out}")
    list(APPEND failures "standard output differs; expected:\n${want}")
  endif()
endif()
foreach(want IN LISTS expect_err)
  string(REPLACE "@SCRIPT@" "${name}" want "${want}")
  string(FIND "${err}" "${want}" at)
  if(at EQUAL -1)
    list(APPEND failures "standard error lacks: ${want}")
  endif()
endforeach()

if(failures)
  string(REPLACE ";" "\n" failures "${failures}")
  message(FATAL_ERROR "${SCRIPT}:\n${failures}")
endif()
