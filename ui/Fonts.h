#pragma once
#include <QFont>

// The fonts the windows were drawn with, or the nearest installed ones of
// similar width (a wider font would push labels into the fields beside them).
QFont windowFont();      // Tahoma 8 pt
QFont startButtonFont(); // Century Gothic 20 pt, bold
QFont aboutFont();       // MS Sans Serif 8 pt
