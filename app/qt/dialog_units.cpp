#include "app/qt/dialog_units.h"

#include <QString>
#include <cstdint>

namespace zolt {

DialogBaseUnits BaseUnitsFor(const QFontMetrics& metrics) {
    static const QString letters =
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    const int total = metrics.horizontalAdvance(letters);
    return DialogBaseUnits{MulDivRound(total, 1, static_cast<int>(letters.size())),
                           metrics.height()};
}

int MulDivRound(int value, int numerator, int denominator) {
    if (denominator == 0) {
        return 0;
    }
    const int64_t product = static_cast<int64_t>(value) * numerator;
    const int64_t d = denominator;
    const bool negative = (product < 0) != (d < 0);
    const int64_t magnitude =
        ((product < 0 ? -product : product) + (d < 0 ? -d : d) / 2) / (d < 0 ? -d : d);
    return static_cast<int>(negative ? -magnitude : magnitude);
}

int DialogXToPixels(int units, DialogBaseUnits base) {
    return MulDivRound(units, base.x, 4);
}

int DialogYToPixels(int units, DialogBaseUnits base) {
    return MulDivRound(units, base.y, 8);
}

QRect DialogRectToPixels(const DialogRect& rect, DialogBaseUnits base) {
    const int left = DialogXToPixels(rect.x, base);
    const int top = DialogYToPixels(rect.y, base);
    const int right = DialogXToPixels(rect.x + rect.width, base);
    const int bottom = DialogYToPixels(rect.y + rect.height, base);
    return QRect(left, top, right - left, bottom - top);
}

}  // namespace zolt
