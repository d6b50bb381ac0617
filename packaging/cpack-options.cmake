# Read by cpack before it packages: a Debian package installs under /usr, and
# the command's default configuration (/etc/hdrweights) follows from that prefix.
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_PACKAGING_INSTALL_PREFIX STREQUAL "/usr")
  message(FATAL_ERROR "hdrweights: the Debian package needs a build tree configured with "
                      "-DCMAKE_INSTALL_PREFIX=/usr (this one has ${CPACK_PACKAGING_INSTALL_PREFIX})")
endif()
