# `cpack -G DEB` (from the build folder) packages what `cmake --install` installs: the library,
# its headers and CMake/pkg-config files, spinbench and the Python module, under the same
# prefix, the live view's library among them. Its dependencies come from the binaries
# (dpkg-shlibdeps) plus the chart library that the live view serves and the interpreter the
# module was built for.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME jointbus)
set(CPACK_PACKAGE_VENDOR "jointbus")
set(CPACK_PACKAGE_CONTACT "jointbus developers <jointbus@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Robot-arm actuators (Damiao CAN motors, Feetech serial servos) from C++ and Python")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)  # and the ldconfig trigger
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libjs-dygraphs")
if(JOINTBUS_PYTHON_MODULE)
  string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS
    ", python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}), python3 (<< ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}.999)")
endif()
include(CPack)
