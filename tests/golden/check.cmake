# Regenerates the golden vectors and compares them with the stored ones. Where
# this platform's pow is not the reference one, generate.py --check allows the
# outputs of the pow witnesses it rounds differently, and nothing else.
# FLAVOUR is empty, or --portable for the portable flavour's vectors, which
# must be identical on every platform.
execute_process(COMMAND "${PYTHON}" "${GENERATOR}" ${FLAVOUR} --check "${VECTORS}" "${OUTPUT}"
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${VECTORS} is not what generate.py writes now: regenerate and review")
endif()
