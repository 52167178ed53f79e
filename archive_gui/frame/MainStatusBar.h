// The main window's status bar: three parts with the statistics of the current selection
// (files, changes, storage bytes), or, while a menu item or a tool button is pointed at, that
// command's prompt alone (the three parts are hidden meanwhile and come back refreshed).
#pragma once

#include <QStatusBar>
#include <QString>

class QLabel;
class ViewDoc;
struct NodeStats;

class MainStatusBar : public QStatusBar {
    Q_OBJECT

  public:
    // Each part is this wide: their right edges lie at 150, 300 and 450 pixels.
    static constexpr int PART_WIDTH = 150;

    MainStatusBar(ViewDoc& doc, QWidget* parent = nullptr);

    // Sets the three parts from the document's selection statistics. Nothing changes while
    // the document is busy (its worker owns the numbers).
    void refresh();
    QString partText(int part) const;

    // The part texts for stats: "%d file(s)", "%d change(s)", and the stored bytes as bytes,
    // KB from 65536 on, MB from 64 MB on; 0 gives the empty text.
    static QString filesText(const NodeStats& stats);
    static QString changesText(const NodeStats& stats);
    static QString sizeText(const NodeStats& stats);

  private:
    void setPart(int part, const QString& text);

    ViewDoc& _doc;
    QLabel* _parts[3];
};
