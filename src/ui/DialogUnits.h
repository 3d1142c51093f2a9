#pragma once

class QWidget;

// The forms keep the window layouts in dialog units, as they were designed: one horizontal unit
// is a quarter of the dialog font's average character width, one vertical unit an eighth of its
// height. This turns the form's geometry (the window's size and every child's rectangle) into
// pixels for the dialog's current font, so the layout keeps its proportions at any font size.
void ApplyDialogUnits(QWidget* dialog);
