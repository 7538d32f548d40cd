#pragma once

#include <QObject>

class QLineEdit;

// The composer's own keys, watched on its input line: Escape leaves reply or edit mode, Up in
// an empty line asks to edit the user's last message. Other keys pass through untouched.
class ComposerKeys : public QObject
{
    Q_OBJECT

public:
    explicit ComposerKeys(QLineEdit *input);

signals:
    void escapePressed();
    void upInEmptyInput();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QLineEdit *input;
};
