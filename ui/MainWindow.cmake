# The main window, its tray icon and status line, the about box, the Qt timer service and
# the progress dialog that the firmware update and the settings page share.
target_sources(qm_ui PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/AboutDialog.cpp ${CMAKE_CURRENT_LIST_DIR}/AboutDialog.h
    ${CMAKE_CURRENT_LIST_DIR}/Desktop.cpp ${CMAKE_CURRENT_LIST_DIR}/Desktop.h
    ${CMAKE_CURRENT_LIST_DIR}/HelpFile.cpp ${CMAKE_CURRENT_LIST_DIR}/HelpFile.h
    ${CMAKE_CURRENT_LIST_DIR}/QtTimerService.cpp ${CMAKE_CURRENT_LIST_DIR}/QtTimerService.h
    ${CMAKE_CURRENT_LIST_DIR}/QuillmereSheet.cpp ${CMAKE_CURRENT_LIST_DIR}/QuillmereSheet.h
    ${CMAKE_CURRENT_LIST_DIR}/StatusLine.cpp ${CMAKE_CURRENT_LIST_DIR}/StatusLine.h
    ${CMAKE_CURRENT_LIST_DIR}/TrayIcon.cpp ${CMAKE_CURRENT_LIST_DIR}/TrayIcon.h
    ${PROJECT_SOURCE_DIR}/link/ProgressDialog.cpp ${PROJECT_SOURCE_DIR}/link/ProgressDialog.h
    ${PROJECT_SOURCE_DIR}/res/mainwindow.qrc
)
