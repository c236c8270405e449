#include "AboutDialog.h"

#include "SvgPicture.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QIcon>
#include <QLabel>

namespace
{
constexpr const char* kProgramLabel = "Quillmere Monitor version";
constexpr const char* kLegalNotice =
    "Copyright (C) Velmarquet. All rights reserved.\n"
    "This program is licensed for use with Velmarquet relay and telemetry units only.\n"
    "Unauthorised copying or distribution is prohibited.";
constexpr const char* kCustomerService =
    "Customer service: Monday to Friday, 8:00 to 18:00\n"
    "Telephone: +1 555 0142 (ask for Quillmere support)\n"
    "Mail: support@velmarquet.example";

QLabel* PlainLabel(const char* text, QWidget* parent)
{
    auto* label = new QLabel(QString::fromUtf8(text), parent);
    label->setTextFormat(Qt::PlainText);
    return label;
}
}

CAboutDialog::CAboutDialog(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("About"));

    auto* picture = new QLabel(this);
    picture->setPixmap(
        RenderSvgPixmap(QStringLiteral(":/icons/quillmere-monitor.svg"), QSize(48, 48), devicePixelRatioF()));

    auto* version = PlainLabel(VersionText, this);
    version->setObjectName(QStringLiteral("versionText"));

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* layout = new QGridLayout(this);
    layout->addWidget(picture, 0, 0, 2, 1, Qt::AlignTop);
    layout->addWidget(PlainLabel(kProgramLabel, this), 0, 1);
    layout->addWidget(version, 0, 2);
    layout->addWidget(PlainLabel(kLegalNotice, this), 1, 1, 1, 2);
    layout->addWidget(PlainLabel(kCustomerService, this), 2, 1, 1, 2);
    layout->addWidget(buttons, 3, 0, 1, 3);
    layout->setColumnStretch(2, 1);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}
