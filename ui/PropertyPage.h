#pragma once

#include <QWidget>

class CQuillmereManager;

// One tab of the main window. The sheet gives each page the manager right after building
// it and tells the page when its tab becomes, or stops being, the current one. A page hears
// from the engine through its own CEngineBridge.
class CPropertyPage : public QWidget
{
public:
    explicit CPropertyPage(QWidget* parent = nullptr) : QWidget(parent) {}

    virtual void SetManager(CQuillmereManager* manager) = 0;
    virtual void OnSetActive() {}
    virtual void OnKillActive() {}
};
