#pragma once
#include <QFont>
#include <QString>

class QLabel;
class QPushButton;

// The fonts the windows were drawn with, or the nearest installed ones of
// similar width (a wider font would push labels into the fields beside them).
// Tahoma comes from the fonts-wine files when the system has none of its own.
void installWindowFonts();
QFont windowFont();      // Tahoma 8 pt
QFont boldFont(int pointSize); // Tahoma bold, or a bold face of its widths
QFont startButtonFont(); // Century Gothic 20 pt, bold (URW Gothic has its widths)
QFont aboutFont();       // MS Sans Serif 8 pt: its scalable twin, else Tahoma

// What a label does with a text too wide for the room beside it.
enum class Overflow {
    Condense,    // captions: a slightly narrower font, elided only beyond that
    ElideRight,  // values
    ElideMiddle, // file names: both ends stay readable
};

// Room in pixels between a label and the control that follows it.
constexpr int LABEL_GAP = 3;

// Shows text in the label at its place, sized to the text: it grows to the
// right up to the next control of its row (less LABEL_GAP) or its container's
// edge, never over them. An elided text keeps the whole one as its tooltip
// and accessible name.
void fitLabel(QLabel* label, const QString& text, Overflow overflow);

// A button's caption that would not fit between its frame and margins gets a
// narrower font.
void fitButton(QPushButton* button);
// The width a button's caption may take at the button's current style.
int buttonTextRoom(const QPushButton* button);

// The label's text as a name for the control it labels: "Port :" -> "Port".
QString nameOfLabel(const QString& text);
