# Mutation check of the golden vectors: builds the golden-vector checker
# (tests/consumer/consumer.cpp) against copies of lighting.cpp whose
# dot_product sums its terms another way, and requires each of them to fail,
# naming dot_product. Two controls must pass: the source as it is, and a
# fused multiply-add in double, which cannot change a bit (a product of two
# floats is exact in double, so fusing it skips no rounding).
#   cmake -DCXX_COMPILER=... -DSOURCE_DIR=... -DVECTORS=... -DWORK_DIR=... -P mutate.cmake
include("${CMAKE_CURRENT_LIST_DIR}/../cmake/script_helpers.cmake")
require_variables(CXX_COMPILER SOURCE_DIR VECTORS WORK_DIR)

set(original "to_float((y_term + x_term) + z_term)")
set(variants
  "pass:as written:${original}"
  "pass:fused multiply-adds in double:to_float(std::fma(double(a.z), double(b.z), std::fma(double(a.y), double(b.y), x_term)))"
  "fail:y + (x + z):to_float(y_term + (x_term + z_term))"
  "fail:(y + z) + x:to_float((y_term + z_term) + x_term)"
  "fail:single-precision sum:to_float(double((float(y_term) + float(x_term)) + float(z_term)))"
  "fail:single-precision products and sum:to_float(double((a.y * b.y + a.x * b.x) + a.z * b.z))"
  "fail:fmaf(z, fmaf(x, y)):to_float(double(std::fma(a.z, b.z, std::fma(a.x, b.x, a.y * b.y))))"
  "fail:fmaf(z, fmaf(y, x)):to_float(double(std::fma(a.z, b.z, std::fma(a.y, b.y, a.x * b.x))))"
  "fail:fmaf(y, x) + z:to_float(double(std::fma(a.y, b.y, a.x * b.x) + a.z * b.z))")

set(flags -std=c++20 -O2 -fno-fast-math -ffp-contract=off -fmath-errno
          -I${SOURCE_DIR}/lighting -I${SOURCE_DIR}/lighting/include)

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
run(${CXX_COMPILER} ${flags} -I${SOURCE_DIR}/tests -c ${SOURCE_DIR}/tests/consumer/consumer.cpp
    -o ${WORK_DIR}/checker.o)
file(READ "${SOURCE_DIR}/lighting/lighting.cpp" source)
string(FIND "${source}" "${original}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "lighting.cpp no longer contains '${original}': update mutate.cmake")
endif()

set(wrong 0)
set(index 0)
foreach(variant IN LISTS variants)
  string(REGEX MATCH "^(pass|fail):([^:]*):(.*)$" _ "${variant}")
  set(expect "${CMAKE_MATCH_1}")
  set(name "${CMAKE_MATCH_2}")
  string(REPLACE "${original}" "${CMAKE_MATCH_3}" mutant "${source}")
  math(EXPR index "${index} + 1")
  set(mutant_source "${WORK_DIR}/mutant${index}.cpp")
  file(WRITE "${mutant_source}" "${mutant}")
  run(${CXX_COMPILER} ${flags} -w -c "${mutant_source}" -o "${WORK_DIR}/mutant${index}.o")
  run(${CXX_COMPILER} "${WORK_DIR}/checker.o" "${WORK_DIR}/mutant${index}.o"
      -o "${WORK_DIR}/mutant${index}")
  execute_process(COMMAND "${WORK_DIR}/mutant${index}" "${VECTORS}"
                  RESULT_VARIABLE status OUTPUT_VARIABLE output)
  string(REGEX MATCHALL "dot_product expected" caught "${output}")
  list(LENGTH caught caught)
  string(REGEX MATCHALL "\\(dot_cancel\\): dot_product" by_cancel "${output}")
  list(LENGTH by_cancel by_cancel)
  if(expect STREQUAL "pass" AND status EQUAL 0)
    message(STATUS "passes, as it must: ${name}")
  elseif(expect STREQUAL "fail" AND status EQUAL 1 AND caught GREATER 0)
    message(STATUS "caught: ${name} (${caught} dot products wrong, ${by_cancel} of them dot_cancel)")
  else()
    message(STATUS "NOT AS EXPECTED (${expect}, status ${status}): ${name}\n${output}")
    math(EXPR wrong "${wrong} + 1")
  endif()
endforeach()
if(wrong GREATER 0)
  message(FATAL_ERROR "${wrong} dot_product variants were not judged as expected")
endif()
