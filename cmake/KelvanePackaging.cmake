# Installation and the Debian package (cpack -G DEB). Included at the end of the top
# CMakeLists.txt, once every program target exists.
include(GNUInstallDirs)

install(TARGETS kelvane-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET kelvane)
    install(TARGETS kelvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/kelvane.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/kelvane.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
    foreach(size 16 22 24 32 48 64 128 256)
        install(FILES ${PROJECT_SOURCE_DIR}/packaging/icons/kelvane-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME kelvane.png)
    endforeach()
endif()
if(TARGET kelvane-devsim)
    install(TARGETS kelvane-devsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

set(CPACK_PACKAGE_NAME kelvane)
set(CPACK_PACKAGE_VENDOR "Kelvane")
set(CPACK_PACKAGE_CONTACT "Kelvane maintainers <kelvane@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Upgrade the firmware of many IP cameras and NVRs on a LAN at once")
set(CPACK_PACKAGE_DESCRIPTION
    "Devices in upgrade mode ask over UDP; Kelvane picks the newest firmware file for each from a folder, \
lends it an address, serves the file from its own TFTP server and shows each device's progress. \
The install grants kelvane and kelvane-cli cap_net_bind_service and cap_net_raw, so port 69 and the \
address probe work without root.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# setcap for the install step; the libraries come from dpkg-shlibdeps. The window loads Qt's
# own translations, so its question boxes and folder dialog are in its language too.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcap2-bin")
if(TARGET kelvane)
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", qt6-translations-l10n")
endif()
# The window's Chinese texts need a CJK face; without one they show as boxes.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-cjk")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
