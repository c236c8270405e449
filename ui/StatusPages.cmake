target_sources(qm_ui PRIVATE
    QuillmereStatus.cpp QuillmereStatus.h
    ${PROJECT_SOURCE_DIR}/log/QuillmereLog.cpp ${PROJECT_SOURCE_DIR}/log/QuillmereLog.h
)
