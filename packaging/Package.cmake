# Debian packages of the install rules (cpack -G DEB, from a build configured
# with -DCMAKE_INSTALL_PREFIX=/usr):
#   tessarc      the components runtime, server and client: libtessarc.so.N,
#                tessarc-server, its unit, the shipped modules, the
#                configuration (/etc/tessarc, conffiles), the install root
#                /var/lib/tessarc, libtessarc-client.so.N, tessarc-cli, man
#                pages; its postinst makes the tessarc system user.
#   tessarc-dev  the component sdk: headers, the unversioned .so links,
#                find_package(Tessarc) and tessarc.pc.
set(CPACK_PACKAGE_NAME tessarc)
set(CPACK_PACKAGE_VENDOR "Tessarc")
set(CPACK_PACKAGE_CONTACT "Tessarc developers <tessarc@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Tessarc mesh-network server")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A shlibs file for libtessarc and libtessarc-client; the package's triggers
# file ("activate-noawait ldconfig") has the loader's cache rebuilt once the
# package is configured, so no one runs ldconfig by hand.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")

include(CPackComponent)
cpack_add_component_group(main)
cpack_add_component_group(dev)
cpack_add_component(runtime GROUP main)
cpack_add_component(server GROUP main)
cpack_add_component(client GROUP main)
cpack_add_component(sdk GROUP dev)
set(CPACK_COMPONENTS_ALL runtime server client sdk)

set(CPACK_DEBIAN_MAIN_PACKAGE_NAME tessarc)
set(CPACK_DEBIAN_MAIN_DESCRIPTION "
tessarc-server loads protocol and service modules from its install root,
hands received datasets to the services that own their types and floods
broadcast datasets through the mesh. Ships tcp.protocol, relay.service, metrics.service,
the client tool tessarc-cli and a hardened systemd unit.")
set(CPACK_DEBIAN_MAIN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME tessarc-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION "
Headers, find_package(Tessarc) with tessarc_add_module(), and tessarc.pc for
building Tessarc protocol and service modules and clients.")
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "tessarc (= ${PROJECT_VERSION}), libconfig++-dev, pkg-config")

# Conffiles: every file of examples/root/Config, where the package installs it.
set(TQ_CONFFILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/debian/conffiles)
file(GLOB TQ_CONFIG_FILES RELATIVE ${PROJECT_SOURCE_DIR}/examples/root/Config
  CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/examples/root/Config/*)
set(TQ_CONFFILES_TEXT "")
foreach(file ${TQ_CONFIG_FILES})
  string(APPEND TQ_CONFFILES_TEXT "/etc/tessarc/${file}\n")
endforeach()
file(WRITE ${TQ_CONFFILES} "${TQ_CONFFILES_TEXT}")
set(CPACK_DEBIAN_MAIN_PACKAGE_CONTROL_EXTRA
  ${TQ_CONFFILES}
  ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
  ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
  ${PROJECT_SOURCE_DIR}/packaging/debian/postrm
  ${PROJECT_SOURCE_DIR}/packaging/debian/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
