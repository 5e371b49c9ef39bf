# The pellix-bridge Debian package (component bridge): the program, its
# systemd unit and its configuration, the example (the same file stays in
# share/ as shipped). It is the only package that depends on libmosquitto;
# pellix itself does not.
#
#   <prefix>/bin/pellix-bridge                                   (bridge/CMakeLists.txt)
#   <prefix>/lib/systemd/system/pellix-bridge.service
#   <etc>/pellix-bridge/bridge.json (0600: it may hold the broker's password)
#   <prefix>/share/pellix-bridge/bridge.example.json
#   <prefix>/share/pellix-bridge/bridge.local.json, mosquitto.local.conf

install(CODE "
  set(PELLIX_UNIT_BINDIR \"\${CMAKE_INSTALL_PREFIX}/bin\")
  configure_file(\"${CMAKE_CURRENT_LIST_DIR}/pellix-bridge.service.in\"
                 \"${PROJECT_BINARY_DIR}/packaging/pellix-bridge.service\" @ONLY)
" COMPONENT bridge)
install(FILES ${PROJECT_BINARY_DIR}/packaging/pellix-bridge.service
        DESTINATION lib/systemd/system COMPONENT bridge)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/pellix-bridge.example.json
        DESTINATION share/pellix-bridge RENAME bridge.example.json COMPONENT bridge)
pellix_install_etc(${CMAKE_CURRENT_LIST_DIR}/pellix-bridge.example.json pellix-bridge bridge.json
                   "OWNER_READ OWNER_WRITE" bridge)
# A trial on one machine: no TLS, and a broker configuration to match.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/pellix-bridge.local.json
        DESTINATION share/pellix-bridge RENAME bridge.local.json COMPONENT bridge)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/mosquitto.local.conf DESTINATION share/pellix-bridge COMPONENT bridge)

list(APPEND CPACK_COMPONENTS_ALL bridge)
set(CPACK_DEBIAN_BRIDGE_PACKAGE_NAME pellix-bridge)
set(CPACK_DEBIAN_BRIDGE_PACKAGE_SECTION net)
# What dpkg-shlibdeps finds in the binary on Debian 12; the hub is a
# recommendation only, since the bridge may reach one on another host.
set(CPACK_DEBIAN_BRIDGE_PACKAGE_DEPENDS
    "libc6 (>= 2.34), libgcc-s1 (>= ${pellix_libgcc_version}), libstdc++6 (>= 11), libmosquitto1 (>= 1.6.0), libjsoncpp25 (>= 1.9.5), init-system-helpers")
set(CPACK_DEBIAN_BRIDGE_PACKAGE_RECOMMENDS "pellix")
set(CPACK_COMPONENT_BRIDGE_DESCRIPTION "bridge between the Pellix hub and an MQTT broker
pellix-bridge registers with the hub as a module and passes chosen hub
events to MQTT topics and messages under chosen topic filters to hub events
or module frames, with an offline queue, reconnection with backoff and a
retained state topic. A sandboxed systemd unit runs it under a user of its
own from /etc/pellix-bridge/bridge.json, which as installed bridges to a
broker on the device itself.")
# Maintainer scripts: the unit enabled and started on install, restarted on
# upgrade, stopped on removal; /etc/pellix-bridge/bridge.json is a conffile.
set(CPACK_DEBIAN_BRIDGE_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/deb/pellix-bridge/postinst ${CMAKE_CURRENT_LIST_DIR}/deb/pellix-bridge/prerm
    ${CMAKE_CURRENT_LIST_DIR}/deb/pellix-bridge/postrm ${CMAKE_CURRENT_LIST_DIR}/deb/pellix-bridge/conffiles)
