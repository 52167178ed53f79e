#include "archive_gui/views/ChangeIcons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <array>
#include <map>

namespace views {

int iconIndex(NodeState s) {
    return (s == NodeState::None || s == NodeState::Removed) ? 0 : 1;
}

Overlay overlayFor(NodeState s) {
    switch (s) {
        case NodeState::None:
        case NodeState::Modified:
            return Overlay::Changed;
        case NodeState::Added:
            return Overlay::Added;
        case NodeState::Removed:
            return Overlay::Removed;
        case NodeState::Unchanged:
            break;
    }
    return Overlay::None;
}

int txnIconIndex(bool pending, bool inRange) {
    return (pending ? 0 : 1) + (inRange ? 2 : 0);
}

Overlay markOverlay(int mark) {
    if (mark == 1) return Overlay::Same;
    if (mark >= 2) return Overlay::Changed;
    return Overlay::None;
}

namespace {

// Drawn on a 16-unit grid.
constexpr int SIZE = 16;

void drawFolder(QPainter& p, bool grey) {
    QColor fill = grey ? QColor(0xd8, 0xd8, 0xd8) : QColor(0xf2, 0xc5, 0x5c);
    QColor line = grey ? QColor(0x9a, 0x9a, 0x9a) : QColor(0x9c, 0x6f, 0x12);
    QPainterPath path;
    path.moveTo(1.5, 3.5);
    path.lineTo(6, 3.5);
    path.lineTo(7.5, 5);
    path.lineTo(14.5, 5);
    path.lineTo(14.5, 13.5);
    path.lineTo(1.5, 13.5);
    path.closeSubpath();
    p.setPen(QPen(line, 1));
    p.setBrush(fill);
    p.drawPath(path);
    p.setPen(QPen(line.lighter(130), 1));
    p.drawLine(QPointF(2, 6.5), QPointF(14, 6.5));
}

void drawFile(QPainter& p, bool grey) {
    QColor fill = grey ? QColor(0xe6, 0xe6, 0xe6) : Qt::white;
    QColor line = grey ? QColor(0xa0, 0xa0, 0xa0) : QColor(0x50, 0x5a, 0x6a);
    QPainterPath path;
    path.moveTo(3.5, 1.5);
    path.lineTo(9.5, 1.5);
    path.lineTo(12.5, 4.5);
    path.lineTo(12.5, 14.5);
    path.lineTo(3.5, 14.5);
    path.closeSubpath();
    p.setPen(QPen(line, 1));
    p.setBrush(fill);
    p.drawPath(path);
    p.drawLine(QPointF(9.5, 1.5), QPointF(9.5, 4.5));
    p.drawLine(QPointF(9.5, 4.5), QPointF(12.5, 4.5));
    p.setPen(QPen(line.lighter(150), 1));
    for (qreal y : {7.5, 9.5, 11.5})
        p.drawLine(QPointF(5, y), QPointF(11, y));
}

// A transaction: a small stack of pages, red when it is the pending one; a highlighted square
// behind it when it lies inside the range.
void drawTxn(QPainter& p, int index) {
    if (index >= 2) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x3d, 0x8e, 0xe0, 110));
        p.drawRoundedRect(QRectF(0, 0, 16, 16), 3, 3);
    }
    QColor c = (index % 2 == 0) ? QColor(0xd0, 0x20, 0x20) : QColor(0x20, 0x20, 0x20);
    p.setPen(QPen(c, 1.2));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(5.5, 2.5, 8, 10));
    p.drawRect(QRectF(3.5, 4.5, 8, 10));
    p.setPen(QPen(c, 1));
    for (qreal y : {7.5, 9.5, 11.5})
        p.drawLine(QPointF(5, y), QPointF(10, y));
}

// The mark covers the lower left of the icon, large enough to read at 16 pixels: each change
// has its own colour and its own shape (a disc with a plus for added, a diamond with a dot for
// changed, a square with a cross for removed, a disc with two bars for unchanged), so the marks
// differ also to eyes that mix red and green.
void drawOverlay(QPainter& p, Overlay o) {
    if (o == Overlay::None) return;
    const QRectF box(0, 5, 11, 11);
    const QPointF m = box.center();
    QPainterPath shape;
    QColor c;
    switch (o) {
        case Overlay::Changed: {
            c = QColor(0xc2, 0x5e, 0x00);
            QPolygonF diamond({QPointF(m.x(), box.top()), QPointF(box.right(), m.y()),
                               QPointF(m.x(), box.bottom()), QPointF(box.left(), m.y())});
            shape.addPolygon(diamond);
            shape.closeSubpath();
            break;
        }
        case Overlay::Added:
            c = QColor(0x1a, 0x7f, 0x37);
            shape.addEllipse(box);
            break;
        case Overlay::Removed:
            c = QColor(0xc0, 0x1c, 0x1c);
            shape.addRoundedRect(box.adjusted(0.5, 0.5, -0.5, -0.5), 1.5, 1.5);
            break;
        case Overlay::Same:
            c = QColor(0x1f, 0x5f, 0xbf);
            shape.addEllipse(box);
            break;
        case Overlay::None:
            break;
    }
    p.setPen(QPen(Qt::white, 1));
    p.setBrush(c);
    p.drawPath(shape);
    p.setPen(QPen(Qt::white, 1.8, Qt::SolidLine, Qt::FlatCap));
    const qreal r = 3;
    switch (o) {
        case Overlay::Changed:
            p.setPen(Qt::NoPen);
            p.setBrush(Qt::white);
            p.drawEllipse(m, 1.8, 1.8);
            break;
        case Overlay::Added:
            p.drawLine(QPointF(m.x() - r, m.y()), QPointF(m.x() + r, m.y()));
            p.drawLine(QPointF(m.x(), m.y() - r), QPointF(m.x(), m.y() + r));
            break;
        case Overlay::Removed:
            p.drawLine(m + QPointF(-2.4, -2.4), m + QPointF(2.4, 2.4));
            p.drawLine(m + QPointF(-2.4, 2.4), m + QPointF(2.4, -2.4));
            break;
        case Overlay::Same:
            p.setPen(QPen(Qt::white, 1.4, Qt::SolidLine, Qt::FlatCap));
            p.drawLine(QPointF(m.x() - r, m.y() - 1.5), QPointF(m.x() + r, m.y() - 1.5));
            p.drawLine(QPointF(m.x() - r, m.y() + 1.5), QPointF(m.x() + r, m.y() + 1.5));
            break;
        case Overlay::None:
            break;
    }
}

// The theme's emblem in the lower left corner (the change overlay takes the right); without
// one, a small curved arrow.
void drawLinkEmblem(QPainter& p, qreal scale) {
    const QRectF box(0, 8, 8, 8);
    const QIcon theme = QIcon::fromTheme(QStringLiteral("emblem-symbolic-link"));
    if (!theme.isNull()) {
        const int px = static_cast<int>(8 * scale);
        p.drawPixmap(box, theme.pixmap(px, px), QRectF(0, 0, px, px));
        return;
    }
    p.setPen(QPen(QColor(0x1f, 0x5f, 0xbf), 1.3, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    QPainterPath arrow;
    arrow.moveTo(1.5, 14.5);
    arrow.quadTo(1.5, 10, 6, 10);
    p.drawPath(arrow);
    p.drawLine(QPointF(6, 10), QPointF(4.2, 8.4));
    p.drawLine(QPointF(6, 10), QPointF(4.2, 11.6));
}

QPixmap composeAt(Kind kind, int index, Overlay overlay, qreal scale) {
    QPixmap pm(static_cast<int>(SIZE * scale), static_cast<int>(SIZE * scale));
    pm.fill(Qt::transparent);
    {
        QPainter p(&pm);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(scale, scale);
        switch (kind) {
            case Kind::Folder:
                drawFolder(p, index == 0);
                break;
            case Kind::File:
                drawFile(p, index == 0);
                break;
            case Kind::Link:
                drawFile(p, index == 0);
                drawLinkEmblem(p, scale);
                break;
            case Kind::Txn:
                drawTxn(p, index);
                break;
        }
        drawOverlay(p, overlay);
    }
    pm.setDevicePixelRatio(scale);
    return pm;
}

// Drawn for each common scale, so a plain screen gets its own sharp pixels rather than a
// shrunk dense picture in which the marks blur together.
QIcon compose(Kind kind, int index, Overlay overlay) {
    QIcon icon;
    for (qreal scale : {1.0, 1.5, 2.0, 3.0})
        icon.addPixmap(composeAt(kind, index, overlay, scale));
    return icon;
}

}  // namespace

const QIcon& icon(Kind kind, int index, Overlay overlay) {
    // A handful of pictures in all; made on first use because pixmaps need the application.
    // Never freed: pixmaps must not outlive the application object, which a static would.
    static auto* cache = new std::map<std::array<int, 3>, QIcon>;
    std::array<int, 3> key{static_cast<int>(kind), index, static_cast<int>(overlay)};
    auto it = cache->find(key);
    if (it == cache->end()) it = cache->emplace(key, compose(kind, index, overlay)).first;
    return it->second;
}

}  // namespace views
