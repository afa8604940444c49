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
    -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${build})
run(${build}/consumer)
message(STATUS "${out}")
