#pragma once

#include <QCoreApplication>
#include <QImage>
#include <QLabel>
#include <QWidget>
#include <functional>
#include <thread>

#include "config/AppSettings.h"
#include "device/QuillmereDeviceStatus.h"
#include "device/QuillmereManager.h"
#include "tests/support/TempDataFolder.h"
#include "ui/ElidedLabel.h"

// Hands the posts that are waiting to their windows, as the UI thread's loop would.
inline void DeliverPosted()
{
    QCoreApplication::sendPostedEvents();
}

// Runs the action on a thread of its own, as the link worker runs status changes.
inline void OnWorkerThread(const std::function<void()>& action)
{
    std::thread worker(action);
    worker.join();
}

inline QString LabelText(const QWidget& parent, const char* name)
{
    const auto* label = parent.findChild<QLabel*>(QString::fromLatin1(name));
    if (const auto* elided = qobject_cast<const CElidedLabel*>(label))
        return elided->FullText();   // what the label says, however narrow it is drawn
    return label != nullptr ? label->text() : QStringLiteral("<no label %1>").arg(QLatin1String(name));
}

// The colours of the gauge, as the user sees them.
inline bool IsBarGreen(QRgb pixel)
{
    return qRed(pixel) == 20 && qGreen(pixel) == 240 && qBlue(pixel) == 20;
}

inline bool IsBarGrey(QRgb pixel)
{
    return qRed(pixel) == 40 && qGreen(pixel) == 40 && qBlue(pixel) == 40;
}

// The engine objects a page is wired to, with the data folder in a temporary place.
struct EngineFixture
{
    EngineFixture() { manager.SetSettings(&settings); }

    TempDataFolder folder;
    CAppSettings settings;
    CQuillmereManager manager;

    CQuillmereDeviceStatus& Status() { return *manager.GetDeviceStatus(); }
};
