// Fitting the window's font to the room its layout gives each caption. The
// layout is fixed in twips; the fonts are whatever the desktop has, and a
// wide face (DejaVu Sans, the one every Debian desktop has) needs a smaller
// size than the narrow one the layout was drawn for.
#pragma once

#include <QWidget>

namespace qmz {

// How many pixels the caption of w (a label, a button or a group box's
// title) is wider than the room w gives it; zero or less when it fits.
int captionOverflow(const QWidget* w);

// Lowers the point size of form's font (its children inherit it) in half
// points until the caption of every child fits, down to minimumPoints.
void fitFontToCaptions(QWidget* form, double minimumPoints);

}  // namespace qmz
