# The settings page with its relay and network monitor editors, the port list, and the
# visual style of the group panels.
pkg_check_modules(LIBSERIALPORT REQUIRED IMPORTED_TARGET libserialport)

target_sources(qm_ui PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/QuillmereSettings.cpp ${CMAKE_CURRENT_LIST_DIR}/QuillmereSettings.h
    ${CMAKE_CURRENT_LIST_DIR}/QuillmereVisualManager.cpp ${CMAKE_CURRENT_LIST_DIR}/QuillmereVisualManager.h
    ${CMAKE_CURRENT_LIST_DIR}/RelayEditControl.cpp ${CMAKE_CURRENT_LIST_DIR}/RelayEditControl.h
    ${CMAKE_CURRENT_LIST_DIR}/SerialPortList.cpp ${CMAKE_CURRENT_LIST_DIR}/SerialPortList.h
    ${CMAKE_CURRENT_LIST_DIR}/SpinEdit.cpp ${CMAKE_CURRENT_LIST_DIR}/SpinEdit.h
    ${PROJECT_SOURCE_DIR}/netmon/NetworkMonitorEditControl.cpp ${PROJECT_SOURCE_DIR}/netmon/NetworkMonitorEditControl.h
    ${PROJECT_SOURCE_DIR}/res/settings.qrc
)
target_link_libraries(qm_ui PRIVATE PkgConfig::LIBSERIALPORT)
