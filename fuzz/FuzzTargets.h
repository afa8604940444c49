#ifndef VELA_FUZZTARGETS_H
#define VELA_FUZZTARGETS_H

// The fuzz targets as plain functions, so that the fuzzer's entry point and the regression
// test in the normal build run exactly the same code on an input. Each returns false, after
// printing why, when a property that must hold did not; a crash is a crash either way.

#include <QByteArray>

namespace VelaFuzz {

using Target = bool (*)(const QByteArray &input);

// Creates the application object when there is none yet (offscreen), as the image, PDF and
// artwork code needs one.
void ensureApplication();
// Prints what failed when ok is false; returns ok.
bool check(bool ok, const char *what);

bool decrypt(const QByteArray &input);
bool path(const QByteArray &input);
bool image(const QByteArray &input);
bool pdf(const QByteArray &input);
bool artwork(const QByteArray &input);
bool reply(const QByteArray &input);

} // namespace VelaFuzz

#endif
