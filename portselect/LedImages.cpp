#include "LedImages.h"

// Outside any namespace, as the resource initialiser requires.
static void InitLedImageResources() {
    Q_INIT_RESOURCE(ledimages);
}

QImage LoadLedImage(const QString& name) {
    // Registering twice is harmless; it makes the images available even when
    // the linker dropped the static library's initialiser.
    InitLedImageResources();
    return QImage(QStringLiteral(":/") + name, "BMP");
}

QImage TransparentCopy(const QImage& image) {
    if (image.isNull())
        return image;
    QImage copy = image.convertToFormat(QImage::Format_ARGB32);
    const QRgb key = copy.pixel(0, copy.height() - 1) | 0xFF000000u;
    for (int y = 0; y < copy.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(copy.scanLine(y));
        for (int x = 0; x < copy.width(); ++x) {
            if ((line[x] | 0xFF000000u) == key)
                line[x] = qRgba(0, 0, 0, 0);
        }
    }
    return copy;
}
