#pragma once

#include <QFont>

class QWidget;

// The window sizes of this program were drawn for an 8-point font whose base units are
// 6 pixels across (average character) and 13 down (line height). These scale such a size
// to the font a widget really has, as dialog units do, so that text keeps its room at any
// font size or DPI. A size never shrinks below the one drawn.
namespace FontUnits
{
constexpr int kBaseCharWidth = 6;
constexpr int kBaseLineHeight = 13;

int Across(const QFont& font, int pixels);
int Down(const QFont& font, int pixels);
int Across(const QWidget* widget, int pixels);
int Down(const QWidget* widget, int pixels);
}
