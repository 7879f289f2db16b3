# Install rules: headers, the static library (and libokr.so, or okr.dll on
# Windows), the CMake package okr (find_package(okr) gives okr::okr),
# okr.pc for pkg-config and the licence. Every path the package files name
# is relative to the installation prefix, so an installed tree can be moved.
include(CMakePackageConfigHelpers)

set(OKR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/okr)
set(OKR_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(okr_installed_targets okr)
if(TARGET okr_shared)
  list(APPEND okr_installed_targets okr_shared)
endif()
if(TARGET okr_dll AND OKR_DLL_API)
  # Only the whole-API okr.dll is a library that programs link against.
  list(APPEND okr_installed_targets okr_dll)
elseif(TARGET okr_dll)
  install(TARGETS okr_dll RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(TARGETS ${okr_installed_targets} EXPORT okrTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/okr DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT okrTargets NAMESPACE okr:: DESTINATION ${OKR_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/okrConfig.cmake.in
  ${PROJECT_BINARY_DIR}/okrConfig.cmake INSTALL_DESTINATION ${OKR_CMAKE_DIR})
# Until 1.0 a new minor version may change the interface.
if(PROJECT_VERSION_MAJOR EQUAL 0)
  set(okr_compatibility SameMinorVersion)
else()
  set(okr_compatibility SameMajorVersion)
endif()
write_basic_package_version_file(${PROJECT_BINARY_DIR}/okrConfigVersion.cmake
  COMPATIBILITY ${okr_compatibility})
install(FILES ${PROJECT_BINARY_DIR}/okrConfig.cmake ${PROJECT_BINARY_DIR}/okrConfigVersion.cmake
  DESTINATION ${OKR_CMAKE_DIR})

# okr.pc finds the prefix from its own folder (${pcfiledir}), and the
# folders below it as GNUInstallDirs named them.
file(RELATIVE_PATH OKR_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" OKR_PC_TO_PREFIX "${OKR_PC_TO_PREFIX}")
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE ${CMAKE_INSTALL_${dir}})
    set(OKR_PC_${dir} ${CMAKE_INSTALL_${dir}})
  else()
    set(OKR_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/cmake/okr.pc.in ${PROJECT_BINARY_DIR}/okr.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/okr.pc DESTINATION ${OKR_PC_DIR})

install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
