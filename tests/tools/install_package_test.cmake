# cmake -P script: install the build into a scratch prefix, build a consumer
# with pkg-config and with find_package, run both and the installed cm3probe
# on the simulator.
foreach(var BUILD_DIR WORK_DIR CONSUMER_DIR GENERATOR C_COMPILER)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

function(run)
  cmake_parse_arguments(RUN "" "EXPECT" "COMMAND" ${ARGN})
  execute_process(COMMAND ${RUN_COMMAND} RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err
                  TIMEOUT 240)
  if(NOT code EQUAL 0)
    message(FATAL_ERROR "failed (${code}): ${RUN_COMMAND}\n${out}\n${err}")
  endif()
  if(RUN_EXPECT AND NOT out MATCHES "${RUN_EXPECT}")
    message(FATAL_ERROR "${RUN_COMMAND}: output lacks '${RUN_EXPECT}':\n${out}\n${err}")
  endif()
endfunction()

run(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

foreach(expected include/cm3probe.h bin/cm3probe bin/cm3probe-sim lib/udev/rules.d/60-cm3probe.rules)
  if(NOT EXISTS ${prefix}/${expected})
    message(FATAL_ERROR "not installed: ${expected}")
  endif()
endforeach()
file(GLOB_RECURSE pc_files ${prefix}/*/cm3probe.pc)
file(GLOB_RECURSE config_files ${prefix}/*/cm3probeConfig.cmake)
file(GLOB_RECURSE libraries ${prefix}/*/libcm3probe.so)
foreach(list pc_files config_files libraries)
  list(LENGTH ${list} count)
  if(NOT count EQUAL 1)
    message(FATAL_ERROR "expected one installed file for ${list}, found: ${${list}}")
  endif()
endforeach()
get_filename_component(pc_dir ${pc_files} DIRECTORY)
get_filename_component(lib_dir ${libraries} DIRECTORY)

# The simulator stands in for the adapter; nothing else of the caller's
# environment reaches the library.
set(sim_env ${CMAKE_COMMAND} -E env --unset=CM3PROBE_SIM_CONFIG CM3PROBE_DRIVER=sim)

# pkg-config: flags from the installed cm3probe.pc.
find_program(PKG_CONFIG pkg-config REQUIRED)
execute_process(COMMAND ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pc_dir} ${PKG_CONFIG} --cflags --libs cm3probe
                RESULT_VARIABLE code OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT code EQUAL 0)
  message(FATAL_ERROR "pkg-config does not know cm3probe")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
separate_arguments(extra UNIX_COMMAND "${EXTRA_FLAGS}")
run(COMMAND ${C_COMPILER} ${extra} ${CONSUMER_DIR}/consumer.c ${flags} -Wl,-rpath,${lib_dir}
            -o ${WORK_DIR}/consumer_pkgconfig)
run(COMMAND ${sim_env} ${WORK_DIR}/consumer_pkgconfig EXPECT "IDCODE 0x2BA01477")

# find_package: the imported target cm3probe::cm3probe.
run(COMMAND ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/consumer_build -G ${GENERATOR}
            -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_C_COMPILER=${C_COMPILER}
            "-DCMAKE_C_FLAGS=${EXTRA_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${EXTRA_FLAGS}")
run(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/consumer_build)
run(COMMAND ${sim_env} ${WORK_DIR}/consumer_build/consumer EXPECT "IDCODE 0x2BA01477")

# The installed tool finds the installed library by itself, and the library
# the simulator module beside it (not the build tree's, its last resort): the
# dynamic loader's log names the file it maps.
if(NOT EXISTS ${lib_dir}/libcm3probe_sim.so)
  message(FATAL_ERROR "not installed beside the library: libcm3probe_sim.so")
endif()
execute_process(COMMAND ${sim_env} LD_DEBUG=files ${prefix}/bin/cm3probe --sim info
                RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 240)
if(NOT code EQUAL 0 OR NOT out MATCHES "IDCODE       0x2BA01477")
  message(FATAL_ERROR "installed cm3probe --sim info failed (${code}):\n${out}\n${err}")
endif()
string(REGEX MATCH "file=[^\n]*libcm3probe_sim\\.so \\[0\\];  generating link map" mapped "${err}")
string(FIND "${mapped}" "file=${prefix}/" at)
if(NOT at EQUAL 0)
  message(FATAL_ERROR "the installed library mapped another simulator module: ${mapped}")
endif()
