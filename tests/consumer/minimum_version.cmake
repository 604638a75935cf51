# A CMake older than a feature the top-level CMakeLists.txt uses must be
# refused, not half-served: PROJECT_IS_TOP_LEVEL is empty before 3.21, which
# would silently turn the tests and programs off.
#   cmake -DLISTS=.../CMakeLists.txt -P minimum_version.cmake
file(READ "${LISTS}" lists)
if(NOT lists MATCHES "cmake_minimum_required\\(VERSION ([0-9.]+)")
  message(FATAL_ERROR "${LISTS}: no cmake_minimum_required(VERSION ...)")
endif()
set(minimum "${CMAKE_MATCH_1}")
foreach(feature_version IN ITEMS "PROJECT_IS_TOP_LEVEL=3.21")
  string(REPLACE "=" ";" pair "${feature_version}")
  list(GET pair 0 feature)
  list(GET pair 1 needed)
  if(lists MATCHES "${feature}" AND minimum VERSION_LESS needed)
    message(FATAL_ERROR "${LISTS} uses ${feature} (CMake ${needed}) but requires only ${minimum}")
  endif()
endforeach()
message(STATUS "cmake_minimum_required ${minimum} covers the features used")
