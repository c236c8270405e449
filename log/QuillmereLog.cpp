#include "QuillmereLog.h"

CQuillmereLog::CQuillmereLog(QWidget* parent) : CPropertyPage(parent) {}

void CQuillmereLog::SetManager(CQuillmereManager* manager)
{
    m_manager = manager;
}
