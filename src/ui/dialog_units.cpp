#include "dialog_units.h"

#include <QFontInfo>
#include <QFontMetrics>

namespace {

// The average character width of a dialog font is measured over the 52 letters, as the
// dialog templates were laid out with.
constexpr const char* kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr int kAlphabetLength = 52;

// Dialog units per base unit: four across, eight down.
constexpr int kUnitsAcross = 4;
constexpr int kUnitsDown = 8;

int Scale(int units, int base, int perBase) {
    return (units * base + perBase / 2) / perBase;
}

}  // namespace

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const int width = metrics.horizontalAdvance(QString::fromLatin1(kAlphabet));
    m_baseX = qMax(1, (width / (kAlphabetLength / 2) + 1) / 2);
    m_baseY = qMax(1, metrics.height());
}

int DialogUnits::X(int x) const {
    return Scale(x, m_baseX, kUnitsAcross);
}

int DialogUnits::Y(int y) const {
    return Scale(y, m_baseY, kUnitsDown);
}

QRect DialogUnits::Rect(int x, int y, int width, int height) const {
    const int left = X(x);
    const int top = Y(y);
    return QRect(left, top, X(x + width) - left, Y(y + height) - top);
}

QFont TemplateFont(const QString& family, int points, bool monospaced) {
    QFont font(family, points);
    font.setStyleHint(monospaced ? QFont::TypeWriter : QFont::SansSerif);
    font.setFixedPitch(monospaced);
    if (monospaced && !QFontInfo(font).fixedPitch()) {
        // No alias leads to a monospaced face: ask for the generic one.
        font.setFamily(QStringLiteral("monospace"));
    }
    return font;
}
