#pragma once

#include "ui/PropertyPage.h"

// The "Settings" tab. (Being filled in; for now an empty page that keeps the manager.)
class CQuillmereSettings : public CPropertyPage
{
    Q_OBJECT
public:
    explicit CQuillmereSettings(QWidget* parent = nullptr);
    void SetManager(CQuillmereManager* manager) override;

private:
    CQuillmereManager* m_manager = nullptr;
};
