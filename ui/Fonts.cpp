#include "ui/Fonts.h"

#include <QStringList>

namespace {

QFont makeFont(const QStringList& families, int pointSize, QFont::Weight weight)
{
    QFont font;
    font.setFamilies(families);
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(pointSize);
    // Always set: controls inside a bold group box would otherwise inherit bold.
    font.setWeight(weight);
    return font;
}

} // namespace

QFont windowFont()
{
    return makeFont({QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans Condensed"),
                     QStringLiteral("Liberation Sans Narrow"), QStringLiteral("Liberation Sans")},
                    8, QFont::Normal);
}

QFont startButtonFont()
{
    return makeFont({QStringLiteral("Century Gothic"), QStringLiteral("URW Gothic"), QStringLiteral("TeX Gyre Adventor"),
                     QStringLiteral("DejaVu Sans")},
                    20, QFont::Bold);
}

QFont aboutFont()
{
    return makeFont({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                     QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("Liberation Sans")},
                    8, QFont::Normal);
}
