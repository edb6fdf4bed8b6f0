#pragma once

#include <QFont>
#include <QRect>

// Converts the layout of a dialog template, given in dialog units, to pixels for a font.
//
// A horizontal dialog unit is a quarter of the font's average character width, a vertical
// one an eighth of its height, so the window keeps its proportions with whatever font the
// system has in place of the template's.
class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);

    // Pixels of `x` horizontal and `y` vertical dialog units, rounded to the nearest pixel.
    int X(int x) const;
    int Y(int y) const;
    QRect Rect(int x, int y, int width, int height) const;

    int BaseX() const { return m_baseX; }
    int BaseY() const { return m_baseY; }

private:
    int m_baseX = 1;
    int m_baseY = 1;
};

// The closest font present to `family` at `points`: the family itself, or a substitute of
// the same kind (monospaced or proportional).
QFont TemplateFont(const QString& family, int points, bool monospaced);
