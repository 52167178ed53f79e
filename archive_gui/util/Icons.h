// The program's icons, drawn by us as SVG and built into the program: the application icon,
// the toolbar's commands, the folder and file icons and the change-state marks the views draw
// over them. Each is rendered once per size, sharp at any scale.
#pragma once

#include <QIcon>
#include <QPixmap>

enum class NodeState;

QIcon appIcon();
// A toolbar icon by its file name without ".svg" ("save", "show-diff"): the icon theme's where
// it has one for the command, else ours.
QIcon commandIcon(const char* name);
// The icon of a folder or a file with the mark of its change state over it (Added, Modified,
// Removed; the others show no mark).
QPixmap nodeIcon(bool folder, NodeState state, int size = 16);
// The mark alone, transparent around it; null for a state without a mark.
QPixmap stateOverlay(NodeState state, int size = 16);
