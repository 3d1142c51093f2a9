#pragma once

class QString;
class QWidget;

// A message with one OK button and no icon, owned by owner; returns once it is dismissed.
void ShowOkBox(QWidget* owner, const QString& caption, const QString& text);
