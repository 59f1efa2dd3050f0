# What `cmake --install` and the Debian package lay out: the public headers, the three static
# libraries with a CMake package and pkg-config files, the executables, the man pages and the
# systemd user unit. Every path is relative to the prefix, so a staged install under any folder
# works the same as one in /usr.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# "lib" rather than the multiarch folder: the package is built for /usr while the build is
# configured for /usr/local, and both CMake and pkg-config look in <prefix>/lib.
set(TARNO_INSTALL_LIBDIR lib)
set(TARNO_INSTALL_CMAKEDIR ${TARNO_INSTALL_LIBDIR}/cmake/tarno)
set(TARNO_INSTALL_PKGCONFIGDIR ${TARNO_INSTALL_LIBDIR}/pkgconfig)

foreach(module core protocol assistant)
  set_target_properties(tarno_${module} PROPERTIES EXPORT_NAME ${module})
endforeach()
# Static libraries carry their private dependencies to the consumer, libuuid among them.
set_target_properties(tarno_uuid PROPERTIES EXPORT_NAME uuid)

install(DIRECTORY include/tarno TYPE INCLUDE FILES_MATCHING PATTERN "*.hpp")
install(TARGETS tarno_core tarno_protocol tarno_assistant tarno_uuid EXPORT tarnoTargets
        ARCHIVE DESTINATION ${TARNO_INSTALL_LIBDIR})
install(EXPORT tarnoTargets NAMESPACE tarno:: DESTINATION ${TARNO_INSTALL_CMAKEDIR})
configure_package_config_file(cmake/tarnoConfig.cmake.in ${PROJECT_BINARY_DIR}/tarnoConfig.cmake
                              INSTALL_DESTINATION ${TARNO_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tarnoConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/tarnoConfig.cmake ${PROJECT_BINARY_DIR}/tarnoConfigVersion.cmake
        DESTINATION ${TARNO_INSTALL_CMAKEDIR})

# The .pc files find the prefix from their own place, so they stay right wherever the tree lands.
file(RELATIVE_PATH TARNO_PC_TO_PREFIX /${TARNO_INSTALL_PKGCONFIGDIR} /)
string(REGEX REPLACE "/$" "" TARNO_PC_TO_PREFIX "${TARNO_PC_TO_PREFIX}")
foreach(module core protocol assistant)
  configure_file(cmake/pkgconfig/tarno-${module}.pc.in ${PROJECT_BINARY_DIR}/tarno-${module}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/tarno-${module}.pc DESTINATION ${TARNO_INSTALL_PKGCONFIGDIR})
endforeach()

install(DIRECTORY dist/man/ DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 FILES_MATCHING PATTERN "*.1")
# The unit names the installed executable, so it is written at install time, when the prefix
# (which the package build changes to /usr) is known.
install(CODE "
  set(bindir \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  set(unit \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/user/tarno-assistant.service\")
  message(STATUS \"Installing: \${unit}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/dist/systemd/tarno-assistant.service.in\" \"\${unit}\" @ONLY)
")
