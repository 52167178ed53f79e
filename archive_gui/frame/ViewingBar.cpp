#include "archive_gui/frame/ViewingBar.h"

#include "archive_gui/util/UiStrings.h"

#include "archive/support/tstamp.h"

#include <QLocale>
#include <QPalette>

namespace {

constexpr ArchiveDoc::Period PERIODS[] = {
    ArchiveDoc::Period::Current, ArchiveDoc::Period::Today, ArchiveDoc::Period::ThisWeek,
    ArchiveDoc::Period::ThisMonth, ArchiveDoc::Period::ThisYear};

// The weekday's name, then the date and the time in the locale's forms: the version list's
// words for a time, with the date always there, since the bar stands on its own.
QString shownTime(int64_t t) {
    char day[101];
    char when[101];
    if (!formatTime(day, sizeof day, t, WEEKDAY_NAME | DATE_ONLY) ||
        !formatTime(when, sizeof when, t, NO_SECONDS))
        return QString::number(t);
    return QString::fromLocal8Bit(day) + ' ' + QString::fromLocal8Bit(when);
}

}  // namespace

ViewingBar::ViewingBar(QWidget* parent) : QLabel(parent) {
    setObjectName(QStringLiteral("viewingBar"));
    setMargin(4);
    setTextInteractionFlags(Qt::TextSelectableByMouse);
    hide();
}

void ViewingBar::refresh(const Tresmo& a, std::optional<ArchiveDoc::Period> period) {
    QString t = describe(a, period);
    setText(t);
    setVisible(!t.isEmpty());
    bool present = a.from() == a.now() && a.to() == a.now();
    setAutoFillBackground(!present);
    QPalette p = palette();
    p.setColor(QPalette::Window, present ? QPalette().color(QPalette::Window)
                                         : QPalette().color(QPalette::ToolTipBase));
    p.setColor(QPalette::WindowText, present ? QPalette().color(QPalette::WindowText)
                                             : QPalette().color(QPalette::ToolTipText));
    setPalette(p);
}

bool ViewingBar::shows(const Tresmo& a, ArchiveDoc::Period period) {
    return a.to() == a.now() && a.from() == ArchiveDoc::periodStart(period, a.now());
}

std::optional<ArchiveDoc::Period> ViewingBar::periodOf(const Tresmo& a) {
    for (ArchiveDoc::Period p : PERIODS)
        if (shows(a, p)) return p;
    return std::nullopt;
}

QString ViewingBar::describe(const Tresmo& a, std::optional<ArchiveDoc::Period> period) {
    if (!a.root()) return {};
    if (period == ArchiveDoc::Period::Current) return uiString(IDS_VIEW_CURRENT);
    if (!period && a.from() == a.to()) return uiFormat(IDS_VIEW_AS_OF, {shownTime(a.to())});
    int changes = a.root()->info ? a.root()->info->changes : 0;
    QString count =
        uiFormat(changes == 1 ? IDS_CHANGE : IDS_CHANGES, {QLocale().toString(changes)});
    if (!period) return uiFormat(IDS_VIEW_RANGE, {shownTime(a.from()), shownTime(a.to()), count});
    return uiFormat(IDS_VIEW_TODAY + static_cast<int>(*period) - 1, {count});
}
