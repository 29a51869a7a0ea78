#pragma once
#include <QIcon>

// The program's icon, drawn in code (the desktop entry uses the same design
// as a scalable picture), so the window needs no image plug-in.
QIcon applicationIcon();
