# Debian packages: cpack -G DEB in a build folder (scripts/package.sh does the whole run).
# Two packages from one build, one per install component:
#   quillmere-monitord (component service): the service, quillmere-monitorctl, the units, the
#     account and the help; the engine without Qt, so a headless site PC installs no toolkit.
#   quillmere-monitor (component window): the window program, its launcher, icons and
#     autostart entry; it depends on quillmere-monitord of the same version, whose help,
#     client and account it uses (installing the service starts nothing).
# The programs' own install rules live in app/, daemon/ and control/; this adds what only the
# packages carry and their control fields.
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
            DESTINATION ${QM_AUTOSTART_DIR} RENAME quillmere-monitor.desktop COMPONENT window)
endif()

# The service's units and its account. Below the prefix, so /usr/lib/systemd/... in the
# package; nothing is enabled by installing them.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/systemd/quillmere-monitord.service DESTINATION lib/systemd/system
        COMPONENT service)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/systemd/quillmere-monitord-user.service DESTINATION lib/systemd/user
        RENAME quillmere-monitord.service COMPONENT service)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/systemd/quillmere-monitord.sysusers DESTINATION lib/sysusers.d
        RENAME quillmere-monitord.conf COMPONENT service)
# The client's manual page (compressed, as Debian ships them) and its bash completion.
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/quillmere-monitorctl.1.gz
    COMMAND gzip -9n -c ${CMAKE_CURRENT_LIST_DIR}/quillmere-monitorctl.1 > ${PROJECT_BINARY_DIR}/quillmere-monitorctl.1.gz
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/quillmere-monitorctl.1 VERBATIM)
add_custom_target(qm_manual ALL DEPENDS ${PROJECT_BINARY_DIR}/quillmere-monitorctl.1.gz)
install(FILES ${PROJECT_BINARY_DIR}/quillmere-monitorctl.1.gz DESTINATION share/man/man1 COMPONENT service)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/quillmere-monitorctl.bash-completion
        DESTINATION share/bash-completion/completions RENAME quillmere-monitorctl COMPONENT service)
# The help belongs to both programs; the units name it as their documentation.
install(FILES ${PROJECT_SOURCE_DIR}/res/Quillmere_Help.html DESTINATION share/quillmere-monitor COMPONENT service)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillmere-monitor)
set(CPACK_PACKAGE_VENDOR Velmarquet)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Each package's synopsis is the first line of its own description below; a package-wide
# summary would be put in front of both.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# Directories the package creates must not inherit the umask of whoever built it.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEB_COMPONENT_INSTALL ON)
if(QM_BUILD_UI)
    set(CPACK_COMPONENTS_ALL service window)
else()
    set(CPACK_COMPONENTS_ALL service)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Velmarquet Quillmere Monitor maintainers <quillmere-monitor@velmarquet.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the executables link come from dpkg-shlibdeps, per package: the service's
# therefore name no Qt library. That covers the plugins Qt loads at run time too: the xcb
# and offscreen platforms ship in libqt6gui6, and the SVG image and icon plugins, without
# which every icon is blank, in libqt6svg6, which the window program links.
# packaging/check-deb.sh fails the packages if either goes missing or Qt reaches the service.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME quillmere-monitord)
set(CPACK_DEBIAN_SERVICE_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_SERVICE_DESCRIPTION
    "Monitor for a remote relay and telemetry unit on a serial line (service)\n\
quillmere-monitord polls a relay and telemetry unit over a serial port, switches and\n\
power-cycles its relays, power-cycles a relay when a watched host stops answering, keeps\n\
an event log and may publish the unit to an MQTT broker, without windows, under the\n\
service manager. quillmere-monitorctl shows the unit and gives it orders from a shell, for\n\
root and the members of the group quillmere, which this package creates.")
# postinst falls back to adduser (and addgroup) where systemd-sysusers is missing.
set(CPACK_DEBIAN_SERVICE_PACKAGE_DEPENDS "adduser")
# Before the split these files were the one package quillmere-monitor's.
set(CPACK_DEBIAN_SERVICE_PACKAGE_REPLACES "quillmere-monitor (<< ${PROJECT_VERSION})")
set(CPACK_DEBIAN_SERVICE_PACKAGE_BREAKS "quillmere-monitor (<< ${PROJECT_VERSION})")
# postinst makes the service's account and group and enables nothing; postrm lets the
# service manager forget the units.
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/postinst ${CMAKE_CURRENT_LIST_DIR}/postrm)

set(CPACK_DEBIAN_WINDOW_PACKAGE_NAME quillmere-monitor)
set(CPACK_DEBIAN_WINDOW_DESCRIPTION
    "Monitor for a remote relay and telemetry unit on a serial line (window program)\n\
Quillmere Monitor polls a relay and telemetry unit over a serial port, shows its radio,\n\
clock, door and relay status, switches and power-cycles its relays, power-cycles a relay\n\
when a pinged host stops answering, keeps an event log and uploads new unit firmware.\n\
It lives in the desktop's notification area.")
set(CPACK_DEBIAN_WINDOW_PACKAGE_DEPENDS "quillmere-monitord (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_WINDOW_PACKAGE_RECOMMENDS "hicolor-icon-theme")
# A file under /etc belongs to the administrator: dpkg keeps an edited autostart entry
# over an upgrade instead of overwriting it.
set(CPACK_DEBIAN_WINDOW_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/conffiles)

include(CPack)
