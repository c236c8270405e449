#pragma once

class QWidget;

// A list or number field takes the mouse wheel only while it has the keyboard focus;
// otherwise the wheel goes on to the pane around it, so scrolling a page past a field
// never changes a setting. The wheel no longer gives such a field the focus either.
void GuardAgainstWheel(QWidget* field);
