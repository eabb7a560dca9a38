// Widget → PNG for the screenshots. See render.h.
#include "render.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLayout>
#include <QPainter>
#include <QPixmap>
#include <QWidget>

namespace kest {

namespace {
constexpr int kFrame = 4;
constexpr int kTitle = 28;

QPixmap grabPolished(QWidget* widget) {
    widget->ensurePolished();
    if (QLayout* layout = widget->layout()) {
        layout->activate();
    }
    QApplication::sendPostedEvents();
    return widget->grab();
}

bool save(const QPixmap& pixmap, const QString& path) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    return pixmap.save(path, "PNG");
}
}  // namespace

bool renderToPng(QWidget* widget, const QString& path) {
    if (widget == nullptr) {
        return false;
    }
    return save(grabPolished(widget), path);
}

bool renderWindowToPng(QWidget* widget, const QString& path) {
    if (widget == nullptr) {
        return false;
    }
    const QPixmap client = grabPolished(widget);
    const QSize clientSize = client.deviceIndependentSize().toSize();
    QPixmap window(clientSize + QSize(2 * kFrame, kTitle + 2 * kFrame));
    window.fill(QColor(0x3a, 0x5f, 0x8f));
    QPainter painter(&window);
    painter.drawPixmap(kFrame, kFrame + kTitle, client);
    QFont titleFont = widget->font();
    titleFont.setBold(false);
    titleFont.setPixelSize(15);
    painter.setFont(titleFont);
    painter.setPen(Qt::white);
    painter.drawText(QRect(kFrame + 8, kFrame, clientSize.width() - 40, kTitle),
                     Qt::AlignVCenter | Qt::AlignLeft, widget->windowTitle());
    // The close box.
    const QRect box(window.width() - kFrame - 24, kFrame + 5, 18, 18);
    painter.drawLine(box.topLeft() + QPoint(4, 4), box.bottomRight() - QPoint(4, 4));
    painter.drawLine(box.topRight() + QPoint(-4, 4), box.bottomLeft() + QPoint(4, -4));
    painter.end();
    return save(window, path);
}

}  // namespace kest
