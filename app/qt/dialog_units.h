// Dialog units: the window's layout is given in units of the dialog font, so that it grows and
// shrinks with the font. One horizontal unit is a quarter of the font's average character width,
// one vertical unit an eighth of its height.
#pragma once

#include <QFontMetrics>
#include <QRect>

namespace zolt {

struct DialogBaseUnits {
    int x = 0;  // average width of the letters A to Z and a to z, in pixels, rounded
    int y = 0;  // the font's height in pixels
};

// A rectangle in dialog units, as a layout table gives it: left, top, width, height.
struct DialogRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

DialogBaseUnits BaseUnitsFor(const QFontMetrics& metrics);

// value * numerator / denominator, rounded to the nearest integer, halves away from zero; 0 when
// the denominator is 0.
int MulDivRound(int value, int numerator, int denominator);

int DialogXToPixels(int units, DialogBaseUnits base);
int DialogYToPixels(int units, DialogBaseUnits base);

// Converts the left and right edges, and the top and bottom edges, each on its own, so that two
// controls that meet in dialog units also meet in pixels.
QRect DialogRectToPixels(const DialogRect& rect, DialogBaseUnits base);

}  // namespace zolt
