#pragma once

#include <QtGlobal>

// A seed for Mirrors::seedRandom() whose next draw over freeSlots free slots is `draw`, so that a test
// decides which mirror is chosen (the walk takes mirrors in list order, each by its free slots).
quint32 seedForDraw(quint32 freeSlots, quint32 draw);
