#pragma once

// Private window messages, numbered from WM_APP so that they also serve as Qt event types
// (Qt accepts user types 1000..65535).
namespace PrivateMessage
{
constexpr int App = 32768;
constexpr int MonitorRemoved = App + 1;         // wParam: the editor's task index
constexpr int RelayNamesChanged = App + 2;
constexpr int StatusChanged = App + 3;
constexpr int CommandResponse = App + 4;        // owns a copy of the record
constexpr int LinkThreadEnded = App + 7;
constexpr int TrayIcon = App + 8;
constexpr int LogLineWritten = App + 9;         // owns a copy of the record
constexpr int FirmwareProgress = App + 10;      // Position / Total
}
