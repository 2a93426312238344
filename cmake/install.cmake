include(CMakePackageConfigHelpers)

install(TARGETS jointbus jointbus_view EXPORT jointbusTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY include/jointbus DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  PATTERN dds EXCLUDE)
install(EXPORT jointbusTargets NAMESPACE jointbus::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/jointbus)

# The DDS bridge is a component of its own (a package of its own, jointbus-dds), with its own
# export set, which the package configuration loads where it is installed.
install(TARGETS jointbus_dds EXPORT jointbusDdsTargets COMPONENT dds
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS jointbridge RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT dds)
install(DIRECTORY include/jointbus/dds DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/jointbus
  COMPONENT dds)
install(EXPORT jointbusDdsTargets NAMESPACE jointbus::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/jointbus COMPONENT dds)

configure_package_config_file(cmake/jointbusConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/jointbusConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/jointbus)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/jointbusConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/jointbusConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/jointbusConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/jointbus)

# The pkg-config file finds its prefix relative to where it is installed, so the installed
# tree can be moved.
file(RELATIVE_PATH JOINTBUS_PC_UP /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
configure_file(cmake/jointbus.pc.in ${CMAKE_CURRENT_BINARY_DIR}/jointbus.pc @ONLY)
configure_file(cmake/jointbus-view.pc.in ${CMAKE_CURRENT_BINARY_DIR}/jointbus-view.pc @ONLY)
configure_file(cmake/jointbus-dds.pc.in ${CMAKE_CURRENT_BINARY_DIR}/jointbus-dds.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/jointbus.pc ${CMAKE_CURRENT_BINARY_DIR}/jointbus-view.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/jointbus-dds.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dds)

# What a Debian package has under /usr/share/doc/jointbus: its copyright, its changelog
# (compressed, as dpkg's tools expect) and the example configurations.
configure_file(cmake/deb/changelog ${CMAKE_CURRENT_BINARY_DIR}/changelog @ONLY)
execute_process(COMMAND gzip -9nf ${CMAKE_CURRENT_BINARY_DIR}/changelog)
install(FILES cmake/deb/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES cmake/deb/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/jointbus-dds COMPONENT dds)
install(DIRECTORY examples/config/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
  FILES_MATCHING PATTERN "*.yaml")
