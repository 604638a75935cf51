# The GPU batches, lighting::cuda (lighting/cuda/). LIGHTING_CUDA=AUTO builds
# their kernels when CMake finds nvcc, ON requires nvcc, OFF leaves them out.
# The functions are in the library either way: without CUDA, available() is
# false and the batches throw NoDevice.
#
# The kernels' bits do not depend on nvcc's flags (they use the _rn
# intrinsics), but the flags below are fixed all the same, privately, so
# that the PTX the tests check is the PTX a plain build of the source gives.
set(LIGHTING_CUDA AUTO CACHE STRING
    "GPU batches with CUDA: AUTO (if nvcc is found), ON (required) or OFF")
set_property(CACHE LIGHTING_CUDA PROPERTY STRINGS AUTO ON OFF)
string(TOUPPER "${LIGHTING_CUDA}" lighting_cuda)
set(LIGHTING_CUDA_ENABLED OFF)
set(lighting_cuda_why "")
if(lighting_cuda STREQUAL "OFF")
  set(lighting_cuda_why "LIGHTING_CUDA=OFF")
elseif(NOT lighting_cuda MATCHES "^(AUTO|ON)$")
  message(FATAL_ERROR "LIGHTING_CUDA is AUTO, ON or OFF, not '${LIGHTING_CUDA}'")
elseif(CMAKE_CROSSCOMPILING OR EMSCRIPTEN OR NOT CMAKE_SIZEOF_VOID_P EQUAL 8
       OR NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(lighting_cuda_why "not a native 64-bit Linux build")
else()
  if(DEFINED CMAKE_CUDA_COMPILER AND NOT EXISTS "${CMAKE_CUDA_COMPILER}")
    set(lighting_cuda_why "no CUDA compiler at ${CMAKE_CUDA_COMPILER}")
  else()
    include(CheckLanguage)
    check_language(CUDA)
    if(CMAKE_CUDA_COMPILER)
      # H100 machine code, and PTX that a driver compiles for later GPUs.
      # "native" would fail on a machine without a GPU, as CI's are.
      if(NOT DEFINED CMAKE_CUDA_ARCHITECTURES AND NOT DEFINED ENV{CUDAARCHS})
        set(CMAKE_CUDA_ARCHITECTURES "90-real;90-virtual" CACHE STRING "CUDA architectures")
      endif()
      enable_language(CUDA)
      find_package(CUDAToolkit REQUIRED)
      # CMake before 3.26 knows no C++20 flag for nvcc, which has had one since CUDA 12.
      if(NOT DEFINED CMAKE_CUDA20_STANDARD_COMPILE_OPTION AND
         CMAKE_CUDA_COMPILER_VERSION VERSION_GREATER_EQUAL 12.0)
        set(CMAKE_CUDA20_STANDARD_COMPILE_OPTION "-std=c++20")
        set(CMAKE_CUDA20_EXTENSION_COMPILE_OPTION "-std=c++20")
      endif()
      set(LIGHTING_CUDA_ENABLED ON)
    else()
      set(lighting_cuda_why "no CUDA compiler found")
    endif()
  endif()
endif()
if(LIGHTING_CUDA_ENABLED)
  message(STATUS "lighting: GPU batches with CUDA ${CUDAToolkit_VERSION} "
                 "(${CMAKE_CUDA_COMPILER}, architectures ${CMAKE_CUDA_ARCHITECTURES})")
elseif(lighting_cuda STREQUAL "ON")
  message(FATAL_ERROR "LIGHTING_CUDA=ON but ${lighting_cuda_why}")
else()
  message(STATUS "lighting: no GPU batches (${lighting_cuda_why}): lighting::cuda reports no device")
endif()

# nvcc's options for the kernels: no contraction, no flush to zero, IEEE
# division and root; warnings as the rest of the library has them.
function(lighting_cuda_kernel_options target)
  target_compile_options(${target} PRIVATE
    --fmad=false -ftz=false -prec-div=true -prec-sqrt=true
    -Xcompiler=-Wall,-Wextra)
  if(LIGHTING_WARNINGS_AS_ERRORS)
    target_compile_options(${target} PRIVATE -Werror=all-warnings)
  endif()
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/lighting/include)
  set_target_properties(${target} PROPERTIES CUDA_STANDARD 20 CUDA_STANDARD_REQUIRED ON
                                             CUDA_EXTENSIONS OFF POSITION_INDEPENDENT_CODE ON)
endfunction()

# The one virtual architecture whose PTX is checked: the first of the list.
function(lighting_cuda_ptx_architecture out)
  list(GET CMAKE_CUDA_ARCHITECTURES 0 first)
  string(REGEX MATCH "^[0-9]+[a-z]?" number "${first}")
  if(NOT number)
    set(number 90)  # all, all-major, native: the default's
  endif()
  set(${out} "${number}-virtual" PARENT_SCOPE)
endfunction()

# Adds the GPU batches to the library target: the host part always, the
# kernels and the CUDA runtime (static: a program needs only the driver at
# run time) when CUDA is on, and the kernels' PTX as an artefact for the check.
function(lighting_add_cuda target)
  set(dir ${PROJECT_SOURCE_DIR}/lighting/cuda)
  target_sources(${target} PRIVATE ${dir}/batch.cpp ${dir}/c_api.cpp)
  if(NOT LIGHTING_CUDA_ENABLED)
    target_sources(${target} PRIVATE ${dir}/no_runtime.cpp)
    return()
  endif()
  add_library(lighting_cuda_kernels OBJECT ${dir}/kernels.cu)
  lighting_cuda_kernel_options(lighting_cuda_kernels)
  target_sources(${target} PRIVATE ${dir}/runtime.cpp $<TARGET_OBJECTS:lighting_cuda_kernels>)
  target_link_libraries(${target} PRIVATE CUDA::cudart_static)

  lighting_cuda_ptx_architecture(ptx_architecture)
  add_library(lighting_cuda_ptx OBJECT ${dir}/kernels.cu)
  lighting_cuda_kernel_options(lighting_cuda_ptx)
  set_target_properties(lighting_cuda_ptx PROPERTIES
    CUDA_PTX_COMPILATION ON CUDA_ARCHITECTURES ${ptx_architecture})
endfunction()
