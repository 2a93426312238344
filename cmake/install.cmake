include(CMakePackageConfigHelpers)

install(TARGETS jointbus jointbus_view EXPORT jointbusTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY include/jointbus DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT jointbusTargets NAMESPACE jointbus::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/jointbus)

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
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/jointbus.pc ${CMAKE_CURRENT_BINARY_DIR}/jointbus-view.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# What a Debian package has under /usr/share/doc/jointbus: its copyright, its changelog
# (compressed, as dpkg's tools expect) and the example configurations.
configure_file(cmake/deb/changelog ${CMAKE_CURRENT_BINARY_DIR}/changelog @ONLY)
execute_process(COMMAND gzip -9nf ${CMAKE_CURRENT_BINARY_DIR}/changelog)
install(FILES cmake/deb/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY examples/config/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
  FILES_MATCHING PATTERN "*.yaml")
