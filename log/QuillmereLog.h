#pragma once

#include "ui/PropertyPage.h"

// The "Log" tab. (Being filled in; for now an empty page that keeps the manager.)
class CQuillmereLog : public CPropertyPage
{
    Q_OBJECT
public:
    explicit CQuillmereLog(QWidget* parent = nullptr);
    void SetManager(CQuillmereManager* manager) override;

private:
    CQuillmereManager* m_manager = nullptr;
};
