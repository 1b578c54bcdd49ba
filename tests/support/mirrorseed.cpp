#include "support/mirrorseed.h"

#include <QRandomGenerator>

quint32 seedForDraw(quint32 freeSlots, quint32 draw)
{
    // Mirrors takes one generate() per draw.
    for (quint32 seed = 1;; ++seed) {
        if (QRandomGenerator(seed).generate() % freeSlots == draw)
            return seed;
    }
}
