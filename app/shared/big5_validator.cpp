// Big5 guard of the text inputs. The check goes through link/'s CP950 conversion, the same one
// the wire uses, so what an edit accepts is exactly what the wire can carry.
#include "big5_validator.h"

#include <QAbstractSpinBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <memory>

#include "big5.h"

namespace kest {

bool representableInBig5(const QString& text) {
    if (text.isEmpty()) {
        return true;
    }
    return wire::representableInBig5(text.toStdString());
}

long big5Length(const QString& text) {
    return wire::big5Length(text.toStdString());
}

QString dropNonBig5(const QString& text) {
    if (representableInBig5(text)) {
        return text;
    }
    QString out;
    out.reserve(text.size());
    // Whole code points: a surrogate pair (an emoji, say) is one character.
    for (qsizetype i = 0; i < text.size();) {
        const qsizetype n = (text[i].isHighSurrogate() && i + 1 < text.size()) ? 2 : 1;
        const QString ch = text.mid(i, n);
        if (representableInBig5(ch)) {
            out += ch;
        }
        i += n;
    }
    return out;
}

Big5Validator::Big5Validator(QObject* parent) : QValidator(parent) {}

QValidator::State Big5Validator::validate(QString& input, int& pos) const {
    (void)pos;
    if (!representableInBig5(input)) {
        return Invalid;
    }
    if (upperCase_) {
        input = input.toUpper();
    }
    return Acceptable;
}

void Big5Validator::fixup(QString& input) const {
    input = dropNonBig5(input);
    if (upperCase_) {
        input = input.toUpper();
    }
}

namespace {
// Removes the characters CP950 lacks from the range a change just added to `doc`.
void cleanAddedRange(QTextDocument* doc, int position, int added) {
    if (added <= 0) {
        return;
    }
    QTextCursor cursor(doc);
    cursor.setPosition(position);
    cursor.setPosition(position + added, QTextCursor::KeepAnchor);
    // QTextDocument separates paragraphs with U+2029; it maps to a line break on the wire.
    QString addedText = cursor.selectedText();
    addedText.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    addedText.replace(QChar::LineSeparator, QLatin1Char('\n'));
    if (representableInBig5(addedText)) {
        return;
    }
    // Delete offending characters from the end so earlier positions stay valid.
    const QString original = cursor.selectedText();
    for (qsizetype i = original.size(); i > 0;) {
        qsizetype start = i - 1;
        if (original[start].isLowSurrogate() && start > 0 &&
            original[start - 1].isHighSurrogate()) {
            --start;
        }
        QString ch = original.mid(start, i - start);
        if (ch == QString(QChar::ParagraphSeparator) || ch == QString(QChar::LineSeparator)) {
            ch = QStringLiteral("\n");
        }
        if (!representableInBig5(ch)) {
            QTextCursor del(doc);
            del.setPosition(position + static_cast<int>(start));
            del.setPosition(position + static_cast<int>(i), QTextCursor::KeepAnchor);
            del.removeSelectedText();
        }
        i = start;
    }
}

void guardDocument(QObject* owner, QTextDocument* doc) {
    if (owner->property("kestBig5Guard").toBool()) {
        return;
    }
    owner->setProperty("kestBig5Guard", true);
    QPointer<QTextDocument> guarded(doc);
    auto busy = std::make_shared<bool>(false);
    QObject::connect(doc, &QTextDocument::contentsChange, owner,
                     [guarded, busy](int position, int, int added) {
                         if (*busy || !guarded) {
                             return;
                         }
                         *busy = true;
                         cleanAddedRange(guarded, position, added);
                         *busy = false;
                     });
    // Text already present (set before the guard) is cleaned once.
    cleanAddedRange(doc, 0, doc->characterCount() - 1);
}

bool insideSpinBox(const QLineEdit* edit) {
    for (const QObject* p = edit->parent(); p != nullptr; p = p->parent()) {
        if (qobject_cast<const QAbstractSpinBox*>(p) != nullptr) {
            return true;
        }
        if (p->isWidgetType() && static_cast<const QWidget*>(p)->isWindow()) {
            break;
        }
    }
    return false;
}
}  // namespace

void guardBig5(QLineEdit* edit) {
    if (edit->property("kestBig5Guard").toBool()) {
        return;
    }
    edit->setProperty("kestBig5Guard", true);
    if (edit->validator() == nullptr) {
        edit->setValidator(new Big5Validator(edit));
    }
    // Text set by the program bypasses the validator's refusal; clean it as it arrives.
    QObject::connect(edit, &QLineEdit::textChanged, edit, [edit](const QString& text) {
        if (!representableInBig5(text)) {
            edit->setText(dropNonBig5(text));
        }
    });
    if (!representableInBig5(edit->text())) {
        edit->setText(dropNonBig5(edit->text()));
    }
}

void guardBig5(QPlainTextEdit* memo) {
    guardDocument(memo, memo->document());
}

void guardBig5(QTextEdit* memo) {
    guardDocument(memo, memo->document());
}

void installBig5Guard(QWidget* root) {
    if (root == nullptr) {
        return;
    }
    QList<QWidget*> widgets = root->findChildren<QWidget*>();
    widgets.prepend(root);
    for (QWidget* w : widgets) {
        if (auto* edit = qobject_cast<QLineEdit*>(w)) {
            // Numbers and dates have their own validation; other validators are kept.
            if (!insideSpinBox(edit) && edit->validator() == nullptr) {
                guardBig5(edit);
            }
        } else if (auto* plain = qobject_cast<QPlainTextEdit*>(w)) {
            guardBig5(plain);
        } else if (auto* rich = qobject_cast<QTextEdit*>(w)) {
            guardBig5(rich);
        }
    }
}

}  // namespace kest
