# Tests of the settings page, its editors, the port list and the visual style.
find_package(Qt6 REQUIRED COMPONENTS Test)
qm_add_test(ui_settings_tests OWN_MAIN
    SOURCES SettingsTestMain.cpp SettingsTestSupport.h
            SettingsPageTest.cpp NetworkMonitorEditControlTest.cpp
            SettingsSerialPortListTest.cpp SettingsVisualManagerTest.cpp
            SettingsPageDeviceTest.cpp
    LIBS qm_ui qm_link qm_log Qt6::Test)
