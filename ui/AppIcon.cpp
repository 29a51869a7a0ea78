#include "ui/AppIcon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

QPixmap drawIcon(int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 64.0, size / 64.0);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x1f, 0x4e, 0x79));
    painter.drawRoundedRect(QRectF(2, 2, 60, 60), 10, 10);
    painter.setPen(QPen(QColor(0xc9, 0xd6, 0xe3), 3, Qt::SolidLine, Qt::RoundCap));
    for (int x : {20, 32, 44}) {
        painter.drawLine(x, 10, x, 16);
        painter.drawLine(x, 48, x, 54);
    }
    painter.setPen(QPen(QColor(0xc9, 0xd6, 0xe3), 2));
    painter.setBrush(QColor(0x2f, 0x2f, 0x2f));
    painter.drawRoundedRect(QRectF(12, 16, 40, 32), 4, 4);
    QPainterPath arrow;
    arrow.moveTo(32, 21);
    arrow.lineTo(42, 32);
    arrow.lineTo(36, 32);
    arrow.lineTo(36, 43);
    arrow.lineTo(28, 43);
    arrow.lineTo(28, 32);
    arrow.lineTo(22, 32);
    arrow.closeSubpath();
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x6f, 0xcf, 0x5f));
    painter.drawPath(arrow);
    return pixmap;
}

} // namespace

QIcon applicationIcon()
{
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128})
        icon.addPixmap(drawIcon(size));
    return icon;
}
