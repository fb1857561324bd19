# Runs one fuzz target for ctest.
#   MODE=fuzz:    RUNS executions starting from the seed corpus INPUTS, with inputs of at most
#                 MAX_LEN bytes. New inputs go to WORK_DIR/corpus (emptied first), which libFuzzer
#                 writes because it comes first; INPUTS is only read.
#   MODE=regress: every file in INPUTS (kept crash inputs) once.
# A crash leaves its input in WORK_DIR (fuzz mode) and fails the test.

set(ENV{UBSAN_OPTIONS} "print_stacktrace=1")

if(MODE STREQUAL "fuzz")
  file(REMOVE_RECURSE ${WORK_DIR})
  file(MAKE_DIRECTORY ${WORK_DIR}/corpus)
  execute_process(
    COMMAND ${FUZZER} -runs=${RUNS} -seed=1 -max_len=${MAX_LEN} -print_final_stats=1
            -artifact_prefix=${WORK_DIR}/ ${WORK_DIR}/corpus ${INPUTS}
    RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${FUZZER} failed (${result}); the input that broke it is in ${WORK_DIR}/. "
                        "Once fixed, keep it in fuzz/regressions/ under the target's name.")
  endif()
elseif(MODE STREQUAL "regress")
  file(GLOB inputs ${INPUTS}/*)
  execute_process(COMMAND ${FUZZER} ${inputs} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${FUZZER} failed (${result}) on a kept crash input in ${INPUTS}")
  endif()
else()
  message(FATAL_ERROR "MODE must be fuzz or regress")
endif()
