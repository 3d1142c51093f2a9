#pragma once

#include "operation/PasswordSource.h"

#include <QInputDialog>

// The question for an archive's password, owned by the window that runs the unzip: titled as
// the unzip's messages, naming the archive, the typed text hidden. After a wrong answer it says
// so, and how many tries are left.
class PasswordPrompt : public QInputDialog {
public:
    PasswordPrompt(const PasswordRequest& request, QWidget* parent);
    ~PasswordPrompt() override;

    // The typed password; the field is emptied.
    SecretText TakePassword();
};
