# Runs one fuzz target as a test: replays its checked-in corpus, then a fixed number of inputs
# from a fixed seed, so the outcome is the same on every run. New inputs the run finds go to a
# scratch folder, never into the checked-in corpus.
#   cmake -DFUZZER=<exe> -DCORPUS=<dir> -DWORK=<dir> -DRUNS=<n> -P replay.cmake
foreach(_v FUZZER CORPUS WORK RUNS)
  if(NOT DEFINED ${_v})
    message(FATAL_ERROR "replay.cmake needs -D${_v}=...")
  endif()
endforeach()
if(NOT EXISTS ${FUZZER})
  message(FATAL_ERROR "fuzz target missing: ${FUZZER} (the main build builds it)")
endif()
file(GLOB _seeds ${CORPUS}/*)
if(NOT _seeds)
  message(FATAL_ERROR "no seed inputs in ${CORPUS}")
endif()
# Addresses feed the comparisons libFuzzer learns from; fixed addresses keep them the same.
find_program(SETARCH setarch)
set(_fixed_addresses)
if(SETARCH)
  set(_fixed_addresses ${SETARCH} -R)
endif()
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/new ${WORK}/artifacts)
execute_process(
  COMMAND ${_fixed_addresses} ${FUZZER} -seed=1 -runs=${RUNS} -detect_leaks=0 -print_final_stats=1
    -artifact_prefix=${WORK}/artifacts/ ${WORK}/new ${CORPUS}
  RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0)
  file(GLOB _found ${WORK}/artifacts/*)
  message(FATAL_ERROR "fuzz target failed (${_rc}); input kept in: ${_found}")
endif()
