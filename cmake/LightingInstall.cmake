# Installs the header, the library, the programs and a CMake package, so that
# another project can find_package(lighting CONFIG) and link lighting::lighting.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(LIGHTING_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/lighting")

install(TARGETS lighting EXPORT lightingTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY lighting/include/lighting DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

foreach(program IN ITEMS lighting-demo lighting-render)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

install(EXPORT lightingTargets NAMESPACE lighting:: DESTINATION ${LIGHTING_CMAKE_DIR})
configure_package_config_file(cmake/lightingConfig.cmake.in
  "${PROJECT_BINARY_DIR}/lightingConfig.cmake" INSTALL_DESTINATION ${LIGHTING_CMAKE_DIR})
write_basic_package_version_file("${PROJECT_BINARY_DIR}/lightingConfigVersion.cmake"
  COMPATIBILITY SameMajorVersion)
install(FILES "${PROJECT_BINARY_DIR}/lightingConfig.cmake"
              "${PROJECT_BINARY_DIR}/lightingConfigVersion.cmake"
        DESTINATION ${LIGHTING_CMAKE_DIR})
