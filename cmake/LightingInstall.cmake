# Installs the header, the library, the programs, a CMake package and a
# pkg-config file, so that another project can find_package(lighting CONFIG)
# and link lighting::lighting, or build with $(pkg-config --cflags --libs lighting).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(LIGHTING_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/lighting")

install(TARGETS lighting EXPORT lightingTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY lighting/include/lighting DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# An installed program finds a shared liblighting in ../lib, wherever the tree
# is installed or moved to. (A static one needs no run path.)
get_target_property(lighting_type lighting TYPE)
file(RELATIVE_PATH lighting_bin_to_lib "/${CMAKE_INSTALL_BINDIR}" "/${CMAKE_INSTALL_LIBDIR}")
foreach(program IN ITEMS lighting-demo lighting-render)
  if(TARGET ${program})
    if(lighting_type STREQUAL "SHARED_LIBRARY")
      set_target_properties(${program} PROPERTIES INSTALL_RPATH "$ORIGIN/${lighting_bin_to_lib}")
    endif()
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# What the library itself links, declared in both package files. A static
# archive needs it on every consumer's link line (pkg-config Requires, Libs;
# find_dependency in the CMake package); a shared library only when a consumer
# links statically (Requires.private, Libs.private). A dependency of the batch
# kernels is added here: hwy::hwy is the pkg-config module libhwy and the CMake
# package hwy.
set(lighting_pc_modules "")
# pow; and the C++ runtime, which a C program linking the library through its
# C interface does not get from its own compiler driver.
set(lighting_pc_libs "-lstdc++ -lm")
set(lighting_config_packages "")
# (Highway as headers only is compiled into the library: nothing to name.)
if(TARGET hwy::hwy AND NOT LIGHTING_HWY_RUNTIME_SOURCE)
  list(APPEND lighting_pc_modules libhwy)
  list(APPEND lighting_config_packages hwy)
endif()
# The GPU batches link CUDA's static runtime, which needs only the driver at
# run time; CUDA ships no pkg-config module for it.
if(LIGHTING_CUDA_ENABLED)
  string(APPEND lighting_pc_libs " -L${CUDAToolkit_LIBRARY_DIR} -lcudart_static -ldl -lrt -lpthread")
  list(APPEND lighting_config_packages CUDAToolkit)
endif()
list(JOIN lighting_pc_modules ", " lighting_pc_modules)
if(lighting_type STREQUAL "STATIC_LIBRARY")
  set(LIGHTING_PC_REQUIRES "${lighting_pc_modules}")
  set(LIGHTING_PC_LIBS "${lighting_pc_libs}")
  set(LIGHTING_PC_REQUIRES_PRIVATE "")
  set(LIGHTING_PC_LIBS_PRIVATE "")
  set(LIGHTING_FIND_DEPENDENCIES "")
  foreach(package IN LISTS lighting_config_packages)
    string(APPEND LIGHTING_FIND_DEPENDENCIES "find_dependency(${package})\n")
  endforeach()
else()
  set(LIGHTING_PC_REQUIRES "")
  set(LIGHTING_PC_LIBS "")
  set(LIGHTING_PC_REQUIRES_PRIVATE "${lighting_pc_modules}")
  set(LIGHTING_PC_LIBS_PRIVATE "${lighting_pc_libs}")
  set(LIGHTING_FIND_DEPENDENCIES "")
endif()

set(LIGHTING_PC_DIR "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
file(RELATIVE_PATH LIGHTING_PC_PREFIX_FROM_PCDIR "/${LIGHTING_PC_DIR}" "/")
string(REGEX REPLACE "/$" "" LIGHTING_PC_PREFIX_FROM_PCDIR "${LIGHTING_PC_PREFIX_FROM_PCDIR}")
configure_file(cmake/lighting.pc.in "${PROJECT_BINARY_DIR}/lighting.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/lighting.pc" DESTINATION ${LIGHTING_PC_DIR})

install(EXPORT lightingTargets NAMESPACE lighting:: DESTINATION ${LIGHTING_CMAKE_DIR})
configure_package_config_file(cmake/lightingConfig.cmake.in
  "${PROJECT_BINARY_DIR}/lightingConfig.cmake" INSTALL_DESTINATION ${LIGHTING_CMAKE_DIR})
write_basic_package_version_file("${PROJECT_BINARY_DIR}/lightingConfigVersion.cmake"
  COMPATIBILITY SameMajorVersion)
install(FILES "${PROJECT_BINARY_DIR}/lightingConfig.cmake"
              "${PROJECT_BINARY_DIR}/lightingConfigVersion.cmake"
        DESTINATION ${LIGHTING_CMAKE_DIR})
