#pragma once

class QWidget;

// Widens, never narrows, each label of the dialog whose text needs more room than the form
// gives it, and the dialog with them, so no label cuts its text off. Dialog units keep the
// form's proportions at any font size, but not across font families: in some fonts the
// letters of a sentence are wider against the average letter than the form allowed for.
// Run it after ApplyDialogUnits.
void FitLabelsToText(QWidget* dialog);
