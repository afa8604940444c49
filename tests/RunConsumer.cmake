set(prefix ${VELA_WORK_DIR}/prefix)
set(build ${VELA_WORK_DIR}/build)
file(REMOVE_RECURSE ${VELA_WORK_DIR})

macro(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "Failed (${rc}): ${ARGN}\n${out}")
  endif()
endmacro()

run(${CMAKE_COMMAND} --install ${VELA_BUILD_DIR} --prefix ${prefix})
# The prefix is moved after installation: the package must not remember where it was built
# or first installed.
file(RENAME ${prefix} ${VELA_WORK_DIR}/moved)
set(prefix ${VELA_WORK_DIR}/moved)
run(${CMAKE_COMMAND} -S ${VELA_CONSUMER_SOURCE} -B ${build} -G ${VELA_GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DVELA_PACKAGE=${VELA_PACKAGE})
run(${CMAKE_COMMAND} --build ${build})
run(${build}/consumer)
message(STATUS "${out}")

# A project that already uses the other Qt major must be stopped at configure time with a
# message naming the conflict, not linked into a program that crashes.
execute_process(COMMAND ${CMAKE_COMMAND} -S ${VELA_MIXED_SOURCE} -B ${VELA_WORK_DIR}/mixed
    -G ${VELA_GENERATOR} -DCMAKE_PREFIX_PATH=${prefix}
    -DVELA_PACKAGE=${VELA_PACKAGE} -DVELA_OTHER_QT=${VELA_OTHER_QT}
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(rc EQUAL 0 OR NOT out MATCHES "already uses Qt ${VELA_OTHER_QT}")
  message(FATAL_ERROR "A consumer of Qt ${VELA_OTHER_QT} was not refused (${rc}):\n${out}")
endif()
