# Debian package: cpack -G DEB in a build folder (scripts/package.sh does the whole run).
# The program's own install rules live in app/CMakeLists.txt; this adds what only the
# package carries and the package's control fields.
if(QM_BUILD_UI)
    # Installed under the name of the application's desktop entry, so that a file of the same
    # name in ~/.config/autostart overrides it for one account. Configured with the prefix
    # /usr, as the package is, the folder is /etc/xdg/autostart; any other prefix keeps it
    # below that prefix (also one given to cmake --install), so a trial install never
    # turns up in every account's log-in.
    if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
        set(QM_AUTOSTART_DIR /etc/xdg/autostart)
    else()
        set(QM_AUTOSTART_DIR etc/xdg/autostart)
    endif()
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/quillmere-monitor-autostart.desktop
            DESTINATION ${QM_AUTOSTART_DIR} RENAME quillmere-monitor.desktop)
endif()

# The service's units and its account. Below the prefix, so /usr/lib/systemd/... in the
# package; nothing is enabled by installing them.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/systemd/quillmere-monitord.service DESTINATION lib/systemd/system)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/systemd/quillmere-monitord-user.service DESTINATION lib/systemd/user
        RENAME quillmere-monitord.service)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/systemd/quillmere-monitord.sysusers DESTINATION lib/sysusers.d
        RENAME quillmere-monitord.conf)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillmere-monitor)
set(CPACK_PACKAGE_VENDOR Velmarquet)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Monitor for a remote relay and telemetry unit on a serial line")
set(CPACK_PACKAGE_DESCRIPTION
    "Quillmere Monitor polls a relay and telemetry unit over a serial port, shows its radio,\n\
clock, door and relay status, switches and power-cycles its relays, power-cycles a relay\n\
when a pinged host stops answering, keeps an event log and uploads new unit firmware.\n\
It lives in the desktop's notification area; quillmere-monitord runs the same without\n\
windows under the service manager, for site PCs with no desktop session.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# Directories the package creates must not inherit the umask of whoever built it.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Velmarquet Quillmere Monitor maintainers <quillmere-monitor@velmarquet.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the executable links come from dpkg-shlibdeps. That covers the plugins Qt
# loads at run time too: the xcb and offscreen platforms ship in libqt6gui6, and the SVG image
# and icon plugins, without which every icon is blank, in libqt6svg6, which the executable
# links. packaging/check-deb.sh fails the package if either goes missing.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "hicolor-icon-theme")
# postinst falls back to adduser where systemd-sysusers is missing.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
# postinst makes the service's account and enables nothing; postrm lets the service
# manager forget the units.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/postinst ${CMAKE_CURRENT_LIST_DIR}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
if(QM_BUILD_UI)
    # A file under /etc belongs to the administrator: dpkg keeps an edited autostart entry
    # over an upgrade instead of overwriting it.
    list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/conffiles)
endif()

include(CPack)
