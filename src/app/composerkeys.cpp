#include "composerkeys.h"

#include <QKeyEvent>
#include <QLineEdit>

ComposerKeys::ComposerKeys(QLineEdit *input)
    : QObject(input)
    , input(input)
{
    input->installEventFilter(this);
}

bool ComposerKeys::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != input || event->type() != QEvent::KeyPress)
        return false;
    const auto *key = static_cast<QKeyEvent *>(event);
    if (key->modifiers() != Qt::NoModifier && key->modifiers() != Qt::KeypadModifier)
        return false;
    if (key->key() == Qt::Key_Escape) {
        emit escapePressed();
        return true;
    }
    if (key->key() == Qt::Key_Up && input->text().isEmpty()) {
        emit upInEmptyInput();
        return true;
    }
    return false;
}
