# `cpack -G DEB` (from the build folder) packages what `cmake --install` installs: the library,
# the live view's library, their headers and CMake/pkg-config files, spinbench, jointcfg, the
# Python module and the example configurations, under the build's prefix (scripts/package.sh
# configures one with /usr, as Debian packages install). The binaries are stripped and their
# debug information goes into a package of its own (jointbus-dbgsym, a .ddeb). Dependencies come
# from the binaries (dpkg-shlibdeps) plus the chart library that the live view serves and the
# interpreter the module was built for.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME jointbus)
set(CPACK_PACKAGE_VENDOR "jointbus")
set(CPACK_PACKAGE_CONTACT "jointbus developers <jointbus@example.org>")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "Damiao CAN joint motors and Feetech serial servos from C++ and Python\n"
  "jointbus drives a robot arm's actuators through one motor interface: Damiao\n"
  "brushless joint motors on CAN (SocketCAN) and Feetech SMS/STS serial bus\n"
  "servos.\n"
  "It ships the library, spinbench to bench-test motors, jointcfg to commission\n"
  "them, a Python module and a live view in the browser.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# The linker cache is updated by dpkg's ldconfig trigger, not by scripts of the package's own.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/cmake/deb/triggers
  ${PROJECT_SOURCE_DIR}/cmake/deb/postinst
  ${PROJECT_SOURCE_DIR}/cmake/deb/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libjs-dygraphs")
if(JOINTBUS_PYTHON_MODULE)
  string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS
    ", python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}), python3 (<< ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}.999)")
endif()
# Two packages: jointbus, and jointbus-dds with the DDS bridge (its library, jointbridge, its
# headers and pkg-config file), so that a machine without DDS installs none.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL Unspecified dds)
set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_NAME jointbus)
set(CPACK_DEBIAN_DDS_PACKAGE_NAME jointbus-dds)
set(CPACK_DEBIAN_DDS_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_DDS_DESCRIPTION
  "jointbus motors as ROS 2 joints over DDS\n"
  "jointbridge publishes the state of the motors of a jointbus configuration\n"
  "file as ROS 2 joint states and takes joint commands, over Eclipse Cyclone\n"
  "DDS, with no ROS installed; libjointbus-dds embeds the same in a program.")
set(CPACK_DEBIAN_DDS_PACKAGE_DEPENDS "jointbus (= ${PROJECT_VERSION})")
# The bridge needs the libraries of the jointbus package, on which it depends by name.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/src ${PROJECT_BINARY_DIR}/src/view)
include(CPack)
