#include "archive_gui/util/Icons.h"

#include "archive/tree/TresmoData.h"

#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cstring>
#include <utility>

// A static library's resources are registered by hand, from the global namespace.
static void registerIconResources() {
    Q_INIT_RESOURCE(icons);
}

namespace {

QPixmap render(const QString& name, int size) {
    static const bool registered = (registerIconResources(), true);
    (void)registered;
    QSvgRenderer svg(QStringLiteral(":/icons/") + name + QStringLiteral(".svg"));
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    if (svg.isValid()) {
        QPainter p(&image);
        svg.render(&p);
    }
    return QPixmap::fromImage(image);
}

QIcon iconOf(const QString& name) {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64})
        icon.addPixmap(render(name, size));
    return icon;
}

const char* overlayName(NodeState state) {
    switch (state) {
        case NodeState::Added:
            return "overlay-added";
        case NodeState::Modified:
            return "overlay-modified";
        case NodeState::Removed:
            return "overlay-removed";
        default:
            return nullptr;
    }
}

}  // namespace

QIcon appIcon() {
    static const QIcon icon = iconOf(QStringLiteral("tresmo"));
    return icon;
}

QIcon commandIcon(const char* name) {
    // The desktop's own icons where its theme names the command, so the toolbar looks like
    // the rest of the desktop; ours where it has none.
    static constexpr std::pair<const char*, const char*> THEMED[] = {
        {"new", "document-new"},
        {"open", "document-open"},
        {"save", "document-save"},
        {"refresh", "view-refresh"},
    };
    QIcon own = iconOf(QString::fromUtf8(name));
    for (auto [ours, theme] : THEMED)
        if (std::strcmp(ours, name) == 0) return QIcon::fromTheme(QString::fromUtf8(theme), own);
    return own;
}

QPixmap stateOverlay(NodeState state, int size) {
    const char* name = overlayName(state);
    return name ? render(QString::fromUtf8(name), size) : QPixmap();
}

QPixmap nodeIcon(bool folder, NodeState state, int size) {
    QPixmap base = render(folder ? QStringLiteral("folder") : QStringLiteral("file"), size);
    QPixmap mark = stateOverlay(state, size);
    if (!mark.isNull()) {
        QPainter p(&base);
        p.drawPixmap(0, 0, mark);
    }
    return base;
}
