#include "core/qrandcompat.h"

#include <QRandomGenerator>

#include <cstdlib>

namespace {
QRandomGenerator& generator()
{
    static QRandomGenerator gen;
    return gen;
}
}

void qsrandCompat(quint32 seed)
{
    generator().seed(seed);
}

int qrandCompat()
{
    return static_cast<int>(generator().bounded(quint32(RAND_MAX) + 1u));
}
