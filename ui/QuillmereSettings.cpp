#include "QuillmereSettings.h"

CQuillmereSettings::CQuillmereSettings(QWidget* parent) : CPropertyPage(parent) {}

void CQuillmereSettings::SetManager(CQuillmereManager* manager)
{
    m_manager = manager;
}
