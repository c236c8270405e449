target_sources(qm_ui PRIVATE
    QuillmereSettings.cpp QuillmereSettings.h
)
