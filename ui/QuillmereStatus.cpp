#include "QuillmereStatus.h"

CQuillmereStatus::CQuillmereStatus(QWidget* parent) : CPropertyPage(parent) {}

void CQuillmereStatus::SetManager(CQuillmereManager* manager)
{
    m_manager = manager;
}
