# What `cmake --install` lays out beside the programs and the library, and the
# Debian packages CPack builds from it:
#
#   <prefix>/bin/pellix, <prefix>/bin/pellix-cli                 component runtime
#   <prefix>/lib/systemd/system/pellix.service                   component runtime
#   <prefix>/lib/pellix/pellix-prepare (the unit's ExecStartPre)
#   <prefix>/lib/sysusers.d/pellix.conf, <prefix>/lib/tmpfiles.d/pellix.conf
#   <etc>/default/pellix (the unit's environment; <etc> is /etc for the
#   prefix /usr, the packages' one, else <prefix>/etc)
#   <etc>/pellix/access.json (the access rules the hardened file names)
#   <prefix>/share/pellix/pellixPara.hardened.json, pellixAccess.json (the
#   rules' example, as shipped)                                   component runtime
#   <prefix>/lib/libpellix_client.a, <prefix>/include/pellix/     component dev
#   <prefix>/lib/cmake/Pellix/ (find_package(Pellix): Pellix::client)
#   <prefix>/lib/pkgconfig/pellix.pc
#
#   cpack --config <build>/CPackConfig.cmake     pellix_<version>_<arch>.deb (runtime)
#                                                pellix-dev_<version>_<arch>.deb (dev)
#                                                pellix-bridge_<version>_<arch>.deb (bridge,
#                                                PackagingBridge.cmake)
# The architecture is the build's: amd64 on the host, arm64 with
# cmake/toolchain-aarch64.cmake.

include(CMakePackageConfigHelpers)

# The unit names the daemon by its installed path, so it is written when the
# install runs, with the prefix of that install (CPack's /usr included).
install(CODE "
  set(PELLIX_UNIT_BINDIR \"\${CMAKE_INSTALL_PREFIX}/bin\")
  set(PELLIX_UNIT_LIBDIR \"\${CMAKE_INSTALL_PREFIX}/lib/pellix\")
  configure_file(\"${CMAKE_CURRENT_LIST_DIR}/pellix.service.in\"
                 \"${PROJECT_BINARY_DIR}/packaging/pellix.service\" @ONLY)
" COMPONENT runtime)
install(FILES ${PROJECT_BINARY_DIR}/packaging/pellix.service
        DESTINATION lib/systemd/system COMPONENT runtime)
install(PROGRAMS ${CMAKE_CURRENT_LIST_DIR}/pellix-prepare DESTINATION lib/pellix COMPONENT runtime)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/pellix.sysusers DESTINATION lib/sysusers.d RENAME pellix.conf
        COMPONENT runtime)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/pellix.tmpfiles DESTINATION lib/tmpfiles.d RENAME pellix.conf
        COMPONENT runtime)

# A file for /etc: there for the prefix /usr (the packages'), and under the
# prefix for any other, so that a trial install never writes the machine's
# /etc.
function(pellix_install_etc source destination name mode component)
  install(CODE "
    if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
      set(_pellix_etc /etc)
    else()
      set(_pellix_etc \"\${CMAKE_INSTALL_PREFIX}/etc\")
    endif()
    file(INSTALL \"${source}\" DESTINATION \"\${_pellix_etc}/${destination}\" RENAME ${name}
         PERMISSIONS ${mode})
  " COMPONENT ${component})
endfunction()
pellix_install_etc(${CMAKE_CURRENT_LIST_DIR}/pellix.default default pellix
                   "OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ" runtime)
pellix_install_etc(${CMAKE_CURRENT_LIST_DIR}/pellixAccess.json pellix access.json
                   "OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ" runtime)
# The hardened configuration, for the operator to copy: never in place of
# the device's own file. The rules it names are installed above; their
# example as shipped stays beside it.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/pellixPara.hardened.json ${CMAKE_CURRENT_LIST_DIR}/pellixAccess.json
        DESTINATION share/pellix COMPONENT runtime)

configure_file(${CMAKE_CURRENT_LIST_DIR}/PellixConfig.cmake.in
               ${PROJECT_BINARY_DIR}/packaging/PellixConfig.cmake @ONLY)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/packaging/PellixConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/packaging/PellixConfig.cmake
              ${PROJECT_BINARY_DIR}/packaging/PellixConfigVersion.cmake
        DESTINATION lib/cmake/Pellix COMPONENT dev)
configure_file(${CMAKE_CURRENT_LIST_DIR}/pellix.pc.in ${PROJECT_BINARY_DIR}/packaging/pellix.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/pellix.pc DESTINATION lib/pkgconfig COMPONENT dev)

# Debian packages, one per component.
set(pellix_libgcc_version 3.0)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(pellix_deb_arch arm64)
  set(pellix_libgcc_version 4.5)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(pellix_deb_arch amd64)
else()
  set(pellix_deb_arch ${CMAKE_SYSTEM_PROCESSOR})
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pellix)
set(CPACK_PACKAGE_VENDOR "Pellix")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${pellix_deb_arch})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Pellix developers <pellix@example.org>")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

# The daemon links spdlog, fmt and jsoncpp as Debian 12 ships them, and runs
# `killall` (psmisc) for modules that fall silent; pellix-cli needs jsoncpp
# and the C++ runtime. The versions are what dpkg-shlibdeps finds in the binaries;
# libspdlog1.10-fmt9 is the name Debian gives spdlog's ABI with fmt 9. The
# maintainer scripts create the user with systemd-sysusers (systemd, or
# systemd-standalone-sysusers where another init runs) and enable the unit
# with deb-systemd-helper (init-system-helpers).
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME pellix)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION net)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS
    "libc6 (>= 2.34), libgcc-s1 (>= ${pellix_libgcc_version}), libstdc++6 (>= 11), libspdlog1.10 (>= 1:1.10.0), libspdlog1.10-fmt9, libfmt9 (>= 9.1.0+ds1), libjsoncpp25 (>= 1.9.5), psmisc, systemd | systemd-sysusers, init-system-helpers")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "message hub for embedded Linux devices
The pellix daemon passes framed packets between the processes of a device
over TCP, a Unix-domain socket and UDP, relays published events to their
subscribers and supervises every connection by heartbeat; pellix-cli speaks
to it from a shell. A sandboxed systemd unit runs the daemon as the system
user pellix, is told when it is ready, restarts it whenever it ends and
when its loop stops feeding the watchdog.")
# Maintainer scripts: the user, the directories under /work, and the unit
# enabled and started on install, restarted on upgrade, stopped on removal.
# /etc/default/pellix and /etc/pellix/access.json are conffiles.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/deb/pellix/postinst ${CMAKE_CURRENT_LIST_DIR}/deb/pellix/prerm
    ${CMAKE_CURRENT_LIST_DIR}/deb/pellix/postrm ${CMAKE_CURRENT_LIST_DIR}/deb/pellix/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# The SDK is a self-contained static archive: building a module against it
# takes a C++17 compiler and its standard library.
set(CPACK_DEBIAN_DEV_PACKAGE_NAME pellix-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libstdc++-12-dev | libstdc++-dev")
set(CPACK_COMPONENT_DEV_DESCRIPTION "module SDK for the Pellix message hub
libpellix_client.a and its headers (include/pellix), with a CMake package
(find_package(Pellix), target Pellix::client) and a pkg-config file
(pellix), for building the modules that speak to the hub.")

# Manual pages, bash completion and the Wireshark dissector.
include(${CMAKE_CURRENT_LIST_DIR}/Manuals.cmake)

# pellix-bridge, a package of its own.
if(TARGET pellix-bridge)
  include(${CMAKE_CURRENT_LIST_DIR}/PackagingBridge.cmake)
endif()

include(CPack)
