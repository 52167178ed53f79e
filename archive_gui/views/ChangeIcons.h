// The pictures of the three views, drawn in one place: a folder or file icon, greyed when the
// item is absent at the end of the range, with a small overlay for its change; a transaction
// icon, red for the pending transaction and highlighted when inside the range, with an
// overlay telling whether the selected items existed or changed in it.
//
// The models expose what they show through the roles below as well as the composed icon, so
// tests read the meaning (which icon, which overlay) rather than pixels.
#pragma once

#include "archive/tree/TresmoData.h"

#include <QIcon>

namespace views {

enum Role : int {
    NodeRole = Qt::UserRole + 1,  // the Node* (or Txn*) behind the row, as quintptr
    StateRole,                    // NodeState as int (tree and file list)
    IconRole,                     // base icon index: 0 greyed, 1 normal; versions 0..3
    OverlayRole,                  // Overlay as int
    TimeRole,                     // transaction time (version list)
};

enum class Overlay : int { None = 0, Changed = 1, Added = 2, Removed = 3, Same = 4 };

// Icon index and overlay of a folder or file in a given change state.
int iconIndex(NodeState s);
Overlay overlayFor(NodeState s);

// Version list: base index (0 pending, 1 stored, plus 2 inside the range) and mark overlay.
int txnIconIndex(bool pending, bool inRange);
Overlay markOverlay(int mark);

// Link: a file that is a symbolic link, marked with the theme's link emblem.
enum class Kind { Folder, File, Txn, Link };
// The composed picture; cached, so the same QIcon object backs every row that shows it.
const QIcon& icon(Kind kind, int index, Overlay overlay);

}  // namespace views
