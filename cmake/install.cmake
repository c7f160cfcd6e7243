# Installation: the shared library with its SONAME links, the public headers,
# the `orvane` tool, a CMake package (find_package(Orvane) -> Orvane::orvane)
# and a pkg-config file. Both package files locate the prefix relative to
# their own folder, so `cmake --install <build> --prefix <dir>` works for any
# prefix chosen at install time.
include(CMakePackageConfigHelpers)

set(ORVANE_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Orvane)

install(TARGETS orvane EXPORT OrvaneTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/orvane.h ${PROJECT_SOURCE_DIR}/include/orvane_state.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

if(TARGET orvane_cli)
  # The installed tool finds the installed library beside it.
  file(RELATIVE_PATH ORVANE_BIN_TO_LIB /prefix/${CMAKE_INSTALL_BINDIR}
       /prefix/${CMAKE_INSTALL_LIBDIR})
  set_target_properties(orvane_cli PROPERTIES INSTALL_RPATH "$ORIGIN/${ORVANE_BIN_TO_LIB}")
  install(TARGETS orvane_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # `orvane report` finds the installed Python package from the tool's folder.
  if(IS_ABSOLUTE "${ORVANE_PYTHON_INSTALL_DIR}")
    set(ORVANE_BIN_TO_PYTHON "${ORVANE_PYTHON_INSTALL_DIR}")
  else()
    file(RELATIVE_PATH ORVANE_BIN_TO_PYTHON /prefix/${CMAKE_INSTALL_BINDIR}
         /prefix/${ORVANE_PYTHON_INSTALL_DIR})
  endif()
  target_compile_definitions(orvane_toolkit PRIVATE ORVANE_PYTHON_FROM_BIN="${ORVANE_BIN_TO_PYTHON}")
endif()

install(EXPORT OrvaneTargets NAMESPACE Orvane:: DESTINATION ${ORVANE_CMAKE_PACKAGE_DIR})
file(WRITE ${PROJECT_BINARY_DIR}/OrvaneConfig.cmake
  "# Imported target Orvane::orvane: the shared library and its header.\n"
  "include(\"\${CMAKE_CURRENT_LIST_DIR}/OrvaneTargets.cmake\")\n")
write_basic_package_version_file(${PROJECT_BINARY_DIR}/OrvaneConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/OrvaneConfig.cmake
              ${PROJECT_BINARY_DIR}/OrvaneConfigVersion.cmake
        DESTINATION ${ORVANE_CMAKE_PACKAGE_DIR})

# pkg-config: the prefix is found from the .pc file's own folder.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(ORVANE_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(ORVANE_PC_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}")
  set(ORVANE_PC_INCLUDEDIR "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
else()
  file(RELATIVE_PATH ORVANE_PC_UP /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
  string(REGEX REPLACE "/$" "" ORVANE_PC_UP "${ORVANE_PC_UP}")
  set(ORVANE_PC_PREFIX "\${pcfiledir}/${ORVANE_PC_UP}")
  set(ORVANE_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(ORVANE_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
file(WRITE ${PROJECT_BINARY_DIR}/orvane.pc
  "prefix=${ORVANE_PC_PREFIX}\n"
  "libdir=${ORVANE_PC_LIBDIR}\n"
  "includedir=${ORVANE_PC_INCLUDEDIR}\n"
  "\n"
  "Name: Orvane\n"
  "Description: Calibration of phase-detection autofocus pixels\n"
  "Version: ${PROJECT_VERSION}\n"
  "Libs: -L\${libdir} -lorvane\n"
  "Cflags: -I\${includedir}\n")
install(FILES ${PROJECT_BINARY_DIR}/orvane.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
