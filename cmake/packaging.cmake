# The udev rule, and Debian packages by component (cpack -G DEB in the build
# tree). The library package needs libftdi1 and libusb only: the simulator
# module (Unicorn, libelf) is a package of its own.
include(GNUInstallDirs)
install(FILES ${PROJECT_SOURCE_DIR}/tools/udev/60-cm3probe.rules DESTINATION ${CM3PROBE_UDEV_RULES_DIR} COMPONENT lib)

set(CPACK_PACKAGE_NAME cm3probe)
set(CPACK_PACKAGE_VENDOR "cm3probe developers")
set(CPACK_PACKAGE_CONTACT "cm3probe developers <cm3probe@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Debug-probe library for ARM Cortex-M3 targets behind FT2232-class adapters")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_COMPONENTS_ALL lib dev sim tools)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)

# Debian 12 names; the versions are what it ships.
set(CPACK_DEBIAN_LIB_PACKAGE_NAME libcm3probe${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_LIB_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1, libftdi1-2, libusb-1.0-0")
set(CPACK_DEBIAN_LIB_PACKAGE_SUGGESTS "cm3probe-sim")
# SONAME in shlibs and the ldconfig trigger.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_LIB_DESCRIPTION "cm3probe debug-probe library
 libcm3probe.so drives one ARM Cortex-M3 target through an FT2232-class USB
 adapter (channel A in MPSSE mode) over SWD or JTAG. Includes the udev rule
 for the adapters.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libcm3probe-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libcm3probe${PROJECT_VERSION_MAJOR} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEV_DESCRIPTION "cm3probe debug-probe library: development files
 The header, the pkg-config file and the CMake package (find_package(cm3probe)).")

set(CPACK_DEBIAN_SIM_PACKAGE_NAME cm3probe-sim)
set(CPACK_DEBIAN_SIM_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1, libunicorn2, libelf1")
set(CPACK_DEBIAN_SIM_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_SIM_DESCRIPTION "cm3probe simulator: a virtual FT2232 and Cortex-M3 target
 The module libcm3probe_sim.so that the library loads with CM3PROBE_DRIVER=sim,
 and cm3probe-sim, which serves one simulated probe to several processes.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME cm3probe)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1, libedit2, libusb-1.0-0, libelf1, libcm3probe${PROJECT_VERSION_MAJOR} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS "cm3probe-sim (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS "gdb-multiarch")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "cm3probe command line and GDB server
 cm3probe reads and writes memory, flashes, runs and steps an ARM Cortex-M3
 target, and serves GDB's remote protocol on the loopback interface.")

include(CPack)
