#pragma once

#include "ui/PropertyPage.h"

// The "Status" tab. (Being filled in; for now an empty page that keeps the manager.)
class CQuillmereStatus : public CPropertyPage
{
    Q_OBJECT
public:
    explicit CQuillmereStatus(QWidget* parent = nullptr);
    void SetManager(CQuillmereManager* manager) override;

private:
    CQuillmereManager* m_manager = nullptr;
};
