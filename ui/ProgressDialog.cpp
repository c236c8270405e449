#include "ProgressDialog.h"

#include <QCloseEvent>
#include <algorithm>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>
#include <QVBoxLayout>

#include "FontUnits.h"

namespace
{
constexpr int kBarRange = 100;
}

CProgressDialog::CProgressDialog(QWidget* parent)
    : QDialog(parent), m_label(new QLabel(QString::fromLatin1(DefaultMessage), this)),
      m_bar(new QProgressBar(this)), m_timer(new QTimer(this))
{
    // No caption and no close button: the owner decides when the wait is over.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint);
    setModal(true);
    m_bar->setTextVisible(false);
    m_bar->setRange(0, kBarRange);
    m_bar->setValue(0);
    m_timer->setInterval(AdvanceIntervalMs);
    connect(m_timer, &QTimer::timeout, this, &CProgressDialog::Advance);

    auto* layout = new QVBoxLayout(this);
    m_label->setTextFormat(Qt::PlainText);
    layout->addWidget(m_label);
    layout->addWidget(m_bar);
    setMinimumWidth(FontUnits::Across(this, 460));
}

void CProgressDialog::showEvent(QShowEvent* event)
{
    if (!m_initialised)
    {
        m_initialised = true;
        if (!m_message.isEmpty())
            m_label->setText(m_message);
        m_bar->setRange(0, kBarRange);
        if (m_autoAdvance)
            m_timer->start();
    }
    QDialog::showEvent(event);
}

void CProgressDialog::closeEvent(QCloseEvent* event)
{
    if (m_ending)
        event->accept();
    else
        event->ignore();
}

void CProgressDialog::Advance()
{
    m_bar->setValue(m_bar->value() >= kBarRange ? 0 : m_bar->value() + 1);
}

void CProgressDialog::SetProgress(int position, int total)
{
    // An empty file reports 0 of 0, which would turn the bar into a busy indicator; a short
    // last block reports more bytes than the file has, which the bar would refuse to show.
    if (total <= 0)
    {
        m_bar->setRange(0, kBarRange);
        m_bar->setValue(0);
        return;
    }
    m_bar->setRange(0, total);
    m_bar->setValue(std::clamp(position, 0, total));
}

void CProgressDialog::EndDialog(int result)
{
    m_ending = true;
    m_timer->stop();
    done(result);
}

QString CProgressDialog::MessageText() const
{
    return m_label->text();
}

int CProgressDialog::BarMinimum() const
{
    return m_bar->minimum();
}

int CProgressDialog::BarMaximum() const
{
    return m_bar->maximum();
}

int CProgressDialog::BarValue() const
{
    return m_bar->value();
}

bool CProgressDialog::IsAdvancing() const
{
    return m_timer->isActive();
}
