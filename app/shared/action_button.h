// ActionButton: a push button bound to a QAction, as the forms' buttons are. Its caption and
// enabled state follow the action's text and enabled state; a click triggers the action. The
// caption names the action's function key ("加入 F2"), the shortcut itself belongs to the action.
// Invariant: while bound, a click does exactly what the action's shortcut does.
#pragma once

#include <QPointer>
#include <QPushButton>

class QAction;

namespace kest {

class ActionButton : public QPushButton {
    Q_OBJECT

  public:
    explicit ActionButton(QWidget* parent = nullptr);
    ActionButton(QAction* action, QWidget* parent);

    // Binds to `action` (null unbinds). The caption and enabled state are copied now and each
    // time the action changes; setText afterwards overrides the caption until the next change.
    void setAction(QAction* action);
    QAction* action() const { return action_; }

  private:
    void syncFromAction();

    QPointer<QAction> action_;
    QMetaObject::Connection changed_;
};

// A QAction named `objectName` with caption `text` and `shortcut` (window-wide), added to
// `owner` so the shortcut works anywhere in the owner's window.
QAction* makeAction(QWidget* owner, const char* objectName, const QString& text,
                    const QKeySequence& shortcut);

}  // namespace kest

using kest::ActionButton;
