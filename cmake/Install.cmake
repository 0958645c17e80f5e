# What `cmake --install` puts where: the library with its SONAME and version
# links, the header, a CMake package (find_package(conv_TA) gives the imported
# target conv_TA::conv_TA) and a pkg-config file. Both package files locate
# the prefix from where they were installed, so `cmake --install --prefix`
# and DESTDIR staging work without reconfiguring.
include(CMakePackageConfigHelpers)
include(${CMAKE_CURRENT_LIST_DIR}/RelativePath.cmake)

set(CONV_TA_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/conv_TA" CACHE STRING
    "Where the CMake package files go, relative to the prefix")
set(CONV_TA_INSTALL_PKGCONFIGDIR "${CMAKE_INSTALL_LIBDIR}/pkgconfig" CACHE STRING
    "Where conv_TA.pc goes, relative to the prefix")

install(TARGETS conv_TA EXPORT conv_TATargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/conv_TA.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT conv_TATargets
        NAMESPACE conv_TA::
        FILE conv_TATargets.cmake
        DESTINATION ${CONV_TA_INSTALL_CMAKEDIR})
configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/conv_TAConfig.cmake.in
  ${PROJECT_BINARY_DIR}/conv_TAConfig.cmake
  INSTALL_DESTINATION ${CONV_TA_INSTALL_CMAKEDIR})
# A new major version may change the contract; minor versions only add.
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/conv_TAConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/conv_TAConfig.cmake
              ${PROJECT_BINARY_DIR}/conv_TAConfigVersion.cmake
        DESTINATION ${CONV_TA_INSTALL_CMAKEDIR})

# pkg-config: the prefix is found relative to the .pc file itself; absolute
# directories given at configure time are kept as they are.
function(conv_ta_pc_dir out dir)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "\${prefix}/${dir}" PARENT_SCOPE)
  endif()
endfunction()
if(IS_ABSOLUTE "${CONV_TA_INSTALL_PKGCONFIGDIR}")
  set(CONV_TA_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  conv_ta_path_from(CONV_TA_PC_UP "${CONV_TA_INSTALL_PKGCONFIGDIR}" "")
  set(CONV_TA_PC_PREFIX "\${pcfiledir}/${CONV_TA_PC_UP}")
endif()
conv_ta_pc_dir(CONV_TA_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
conv_ta_pc_dir(CONV_TA_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/conv_TA.pc.in ${PROJECT_BINARY_DIR}/conv_TA.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/conv_TA.pc DESTINATION ${CONV_TA_INSTALL_PKGCONFIGDIR})

# With CONV_TA_HWCAPS, each level above the baseline goes to
# glibc-hwcaps/LEVEL/ under the library directory, with the same file names
# and SONAME: the loader searches those folders, best first, before the
# directory itself, for every host that finds the library by its SONAME.
foreach(level IN LISTS CONV_TA_HWCAPS_LEVELS)
  install(TARGETS conv_TA_level_${level}
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/glibc-hwcaps/${level} NAMELINK_SKIP)
endforeach()
