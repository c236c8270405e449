#pragma once

#include <QDialog>

// The "About" box: program name and version, the legal notice and how to reach customer
// service. It has no behaviour beyond its OK button.
class CAboutDialog : public QDialog
{
    Q_OBJECT
public:
    static constexpr const char* VersionText = "1.6.0";

    explicit CAboutDialog(QWidget* parent = nullptr);
};
