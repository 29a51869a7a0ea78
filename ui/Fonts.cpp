#include "ui/Fonts.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QStringList>
#include <QStyle>

#include <algorithm>

namespace {

// Debian's fonts-wine: a Tahoma with the original's widths, outside
// fontconfig's folders, so loaded by the program itself.
constexpr const char* WINE_FONT_FOLDER = "/usr/share/wine/fonts/";
// A caption is narrowed down to this stretch (percent) before it is elided.
constexpr int MIN_STRETCH = 85;
// A label ending at its container keeps this much room to the container's edge.
constexpr int EDGE_MARGIN = 8;

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

// The widest stretch at which text fits into room; false, with the font
// unstretched, when even the narrowest does not.
bool condense(QFont& font, const QString& text, int room)
{
    for (int stretch = QFont::Unstretched - 1; stretch >= MIN_STRETCH; --stretch) {
        font.setStretch(stretch);
        if (QFontMetrics(font).horizontalAdvance(text) <= room)
            return true;
    }
    font.setStretch(QFont::Unstretched);
    return false;
}

// From the label's left to the nearest control that starts right of it and
// shares its row, or to its container's edge.
int roomRightOf(const QLabel* label, int rowHeight)
{
    const QWidget* container = label->parentWidget();
    if (!container)
        return label->width();
    const QRect row(label->x(), label->y(), 1, rowHeight);
    int right = container->contentsRect().right() + 1 - EDGE_MARGIN;
    for (const QObject* object : container->children()) {
        const auto* sibling = qobject_cast<const QWidget*>(object);
        if (!sibling || sibling == label || sibling->isWindow() || sibling->x() <= label->x())
            continue;
        const QRect other = sibling->geometry();
        if (other.top() < row.bottom() + 1 && other.bottom() + 1 > row.top())
            right = std::min(right, other.left() - LABEL_GAP);
    }
    return std::max(0, right - label->x());
}

} // namespace

void installWindowFonts()
{
    if (QFontDatabase::hasFamily(QStringLiteral("Tahoma")))
        return;
    // Only the regular face: the bold one of that package has Tahoma Bold's
    // widths but regular strokes, so bold captions would not stand out.
    QFontDatabase::addApplicationFont(QString::fromLatin1(WINE_FONT_FOLDER) + QStringLiteral("tahoma.ttf"));
}

QFont windowFont()
{
    return makeFont({QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans Condensed"),
                     QStringLiteral("Liberation Sans Narrow"), QStringLiteral("Liberation Sans")},
                    8, QFont::Normal);
}

QFont boldFont(int pointSize)
{
    // A Tahoma without a bold face is emboldened by the font engine, but not
    // reliably (at some sizes and scales it stays regular): DejaVu Sans
    // Condensed Bold has nearly Tahoma Bold's widths.
    if (QFontDatabase::styles(QStringLiteral("Tahoma")).contains(QStringLiteral("Bold")))
        return makeFont({QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans Condensed")}, pointSize, QFont::Bold);
    return makeFont({QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("Liberation Sans Narrow"),
                     QStringLiteral("Liberation Sans")},
                    pointSize, QFont::Bold);
}

QFont startButtonFont()
{
    // Century Gothic was drawn to the widths of ITC Avant Garde Gothic, which
    // URW Gothic (fonts-urw-base35) and TeX Gyre Adventor follow.
    return makeFont({QStringLiteral("Century Gothic"), QStringLiteral("URW Gothic"), QStringLiteral("TeX Gyre Adventor"),
                     QStringLiteral("DejaVu Sans")},
                    20, QFont::Bold);
}

QFont aboutFont()
{
    // MS Sans Serif itself is a bitmap font here (one size, no bold, blurred
    // when scaled): its scalable twin, else Tahoma, which has nearly its widths.
    return makeFont({QStringLiteral("Microsoft Sans Serif"), QStringLiteral("Tahoma"),
                     QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("Liberation Sans")},
                    8, QFont::Normal);
}

void fitLabel(QLabel* label, const QString& text, Overflow overflow)
{
    QFont font = label->font();
    if (overflow == Overflow::Condense)
        font.setStretch(QFont::Unstretched);
    const int room = roomRightOf(label, QFontMetrics(font).height());
    QString shown = text;
    if (QFontMetrics(font).horizontalAdvance(text) > room) {
        const bool condensed = overflow == Overflow::Condense && condense(font, text, room);
        if (!condensed)
            shown = QFontMetrics(font).elidedText(text, overflow == Overflow::ElideMiddle ? Qt::ElideMiddle : Qt::ElideRight,
                                                  room);
    }
    label->setFont(font);
    label->setText(shown);
    const bool elided = shown != text;
    label->setToolTip(elided ? text : QString());
    label->setAccessibleName(elided ? text : QString());
    const int width = std::max(QFontMetrics(font).horizontalAdvance(shown), label->sizeHint().width());
    label->resize(std::min(width, room), label->sizeHint().height());
}

int buttonTextRoom(const QPushButton* button)
{
    const QStyle* style = button->style();
    const int inset = style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button) +
                      style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, button);
    return button->width() - 2 * inset;
}

void fitButton(QPushButton* button)
{
    QFont font = button->font();
    font.setStretch(QFont::Unstretched);
    if (QFontMetrics(font).horizontalAdvance(button->text()) > buttonTextRoom(button))
        condense(font, button->text(), buttonTextRoom(button));
    button->setFont(font);
}

QString nameOfLabel(const QString& text)
{
    QString name = text;
    name.remove(QLatin1Char(':'));
    return name.simplified();
}
