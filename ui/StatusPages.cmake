target_sources(qm_ui PRIVATE
    QuillmereStatus.cpp QuillmereStatus.h
    RelayControl.cpp RelayControl.h
    SignualStatic.cpp SignualStatic.h
    TasksPane.cpp TasksPane.h
    ${PROJECT_SOURCE_DIR}/log/QuillmereLog.cpp ${PROJECT_SOURCE_DIR}/log/QuillmereLog.h
    ${PROJECT_SOURCE_DIR}/res/status.qrc
)
