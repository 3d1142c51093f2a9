#include "ui/PasswordPrompt.h"

#include "archive/Messages.h"

#include <QLineEdit>

PasswordPrompt::PasswordPrompt(const PasswordRequest& request, QWidget* parent)
    : QInputDialog(parent) {
    setWindowTitle(Messages::Unzipper);
    setInputMode(QInputDialog::TextInput);
    setTextEchoMode(QLineEdit::Password);
    if (request.attempt <= 1)
        setLabelText(
            QStringLiteral("%1 is protected by a password.\nPassword:").arg(request.archiveName));
    else
        setLabelText(QStringLiteral("The password is wrong (try %1 of %2).\nPassword for %3:")
                         .arg(request.attempt)
                         .arg(request.attempts)
                         .arg(request.archiveName));
}

// A prompt closed without taking the password still wipes the field.
PasswordPrompt::~PasswordPrompt() {
    setTextValue(QString());
}

SecretText PasswordPrompt::TakePassword() {
    QString typed = textValue();
    setTextValue(QString());
    return SecretText::TakeFrom(typed);
}
