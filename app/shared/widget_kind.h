// What kind of control a widget is, in the terms the print preview draws controls by. A widget
// may say so itself with the dynamic property "kestKind"; otherwise its Qt class decides:
//   label    QLabel (caption; alignment from QLabel::alignment)
//   edit     QLineEdit (text; right-aligned when its alignment says so)
//   combo    QComboBox (the displayed text)
//   memo     QPlainTextEdit, QTextEdit (lines)
//   check    QCheckBox (caption and tick)
//   radio    QRadioButton (caption and dot)
//   date     QDateTimeEdit and its subclasses, DatePicker, DateTimePicker (date part)
//   grid     QTableWidget, StringGrid (the grid printer)
//   group    QGroupBox (frame, title, then its children)
//   panel    a plain QFrame (its frame when it has a frame shape, then its children)
//   checklist QListWidget whose items are checkable
//   image    QLabel holding a pixmap (kind "image" takes precedence over "label")
//   ""       anything else (buttons, for example): not printed
// Invariant: the shared widgets set "kestKind" explicitly, so a subclass can never be misread.
#pragma once

#include <QString>

class QWidget;

namespace kest {

inline constexpr char kKindProperty[] = "kestKind";

namespace kind {
inline constexpr char label[] = "label";
inline constexpr char edit[] = "edit";
inline constexpr char combo[] = "combo";
inline constexpr char memo[] = "memo";
inline constexpr char check[] = "check";
inline constexpr char radio[] = "radio";
inline constexpr char date[] = "date";
inline constexpr char grid[] = "grid";
inline constexpr char group[] = "group";
inline constexpr char panel[] = "panel";
inline constexpr char checklist[] = "checklist";
inline constexpr char image[] = "image";
}  // namespace kind

// Marks `widget` as being of `kind` (one of the names above).
void setWidgetKind(QWidget* widget, const char* kind);
// The widget's kind: its "kestKind" property when set, else inferred from its class; "" when
// it is nothing the preview prints.
QString widgetKind(const QWidget* widget);

}  // namespace kest
