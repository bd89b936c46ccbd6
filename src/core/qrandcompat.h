#pragma once

#include <QtGlobal>

// The session's one random generator for the mirror choice. The engine seeds it once per
// update session with the current time in seconds; tests seed it to get repeatable draws.
void qsrandCompat(quint32 seed);
// A uniform draw from 0 to RAND_MAX inclusive.
int qrandCompat();
