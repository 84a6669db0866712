# The Debian package: "cpack -G DEB" in the build directory. It installs into
# /usr (configuration in /etc/jex, unit in /usr/lib/systemd/system), creates
# the system user "jex" and keeps /etc/jex/jex.cfg as a conffile; it enables
# and starts nothing.
set(CPACK_PACKAGE_NAME "jex")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "jex project <support@jex.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "monitoring agent answering a central monitoring server")
set(CPACK_PACKAGE_DESCRIPTION
    "jex runs on a host and carries out the file, log, process, CPU and network \
tests and the actions that a central monitoring server asks for, one encrypted, \
password-authenticated TCP request at a time. Includes the command-line client jexget.")
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
# Install with DESTDIR, so that the absolute paths of the configuration and
# the unit land in the package and never on the building machine.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "admin")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://jex.example.org")
set(CPACK_DEBIAN_PACKAGE_DEPENDS "passwd")
find_program(JEX_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(JEX_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${CMAKE_BINARY_DIR}/packaging/deb/conffiles"
    "${CMAKE_BINARY_DIR}/packaging/deb/postinst"
    "${CMAKE_BINARY_DIR}/packaging/deb/prerm"
    "${CMAKE_BINARY_DIR}/packaging/deb/postrm")
include(CPack)
