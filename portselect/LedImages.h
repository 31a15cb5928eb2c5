#pragma once

#include <QImage>
#include <QString>

/// One of the twelve LED images compiled into the program, by its name:
/// "LEDREDON", "LEDREDOFF", "LEDGREENON", ..., "LEDBULBOFF" (resource path
/// ":/" + name). An unknown name gives a null image.
QImage LoadLedImage(const QString& name);

/// A copy of `image` in which every pixel of the colour of its bottom-left
/// pixel is fully transparent; a null image stays null.
QImage TransparentCopy(const QImage& image);
