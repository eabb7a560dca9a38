// Buttons bound to actions. See action_button.h.
#include "action_button.h"

#include <QAction>
#include <QKeySequence>

namespace kest {

ActionButton::ActionButton(QWidget* parent) : QPushButton(parent) {
    setAutoDefault(false);
    connect(this, &QPushButton::clicked, this, [this] {
        if (action_ && action_->isEnabled()) {
            action_->trigger();
        }
    });
}

ActionButton::ActionButton(QAction* action, QWidget* parent) : ActionButton(parent) {
    setAction(action);
}

void ActionButton::setAction(QAction* action) {
    if (changed_) {
        disconnect(changed_);
    }
    action_ = action;
    if (action != nullptr) {
        changed_ = connect(action, &QAction::changed, this, &ActionButton::syncFromAction);
        syncFromAction();
    }
}

void ActionButton::syncFromAction() {
    if (!action_) {
        return;
    }
    setText(action_->text());
    setEnabled(action_->isEnabled());
}

QAction* makeAction(QWidget* owner, const char* objectName, const QString& text,
                    const QKeySequence& shortcut) {
    auto* action = new QAction(text, owner);
    action->setObjectName(QString::fromLatin1(objectName));
    if (!shortcut.isEmpty()) {
        action->setShortcut(shortcut);
    }
    action->setShortcutContext(Qt::WindowShortcut);
    owner->addAction(action);
    return action;
}

}  // namespace kest
