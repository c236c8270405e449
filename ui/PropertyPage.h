#pragma once

#include <QWidget>

#include "core/Observer.h"

class CQuillmereManager;

// One tab of the main window. The sheet gives each page the manager right after building
// it and tells the page when its tab becomes, or stops being, the current one.
class CPropertyPage : public QWidget, public CObserver
{
public:
    explicit CPropertyPage(QWidget* parent = nullptr) : QWidget(parent) {}

    virtual void SetManager(CQuillmereManager* manager) = 0;
    virtual void OnSetActive() {}
    virtual void OnKillActive() {}
};
