// The line above the views that says which time they show: the present ("Current"), the
// archive as it was at one time ("Viewing as of ..."), or the changes of a range with their
// count ("This week: 89 changes"). Anything but the present stands out in the tooltip colour,
// so a window left on an old version is not taken for the folder as it is. The window's title
// repeats the text.
#pragma once

#include "archive_gui/doc/ArchiveDoc.h"

#include <QLabel>

#include <optional>

class ViewingBar : public QLabel {
    Q_OBJECT

  public:
    explicit ViewingBar(QWidget* parent = nullptr);

    // Shows describe(a, period); empty (and hidden) when a holds no tree.
    void refresh(const Tresmo& a, std::optional<ArchiveDoc::Period> period);

    // The period of the Recent Changes menu whose range a shows: Current first, then the
    // shortest (on the first day of a week, Today and This Week are the same range).
    static std::optional<ArchiveDoc::Period> periodOf(const Tresmo& a);
    // Whether a shows exactly the range of period.
    static bool shows(const Tresmo& a, ArchiveDoc::Period period);
    // What a shows, named after period when one is given; empty without a tree.
    static QString describe(const Tresmo& a, std::optional<ArchiveDoc::Period> period);
};
