// HEIF pictures (HEIC, the camera's format since iOS 11): Debian 12's Qt 6
// has no image plugin for them, so QImageReader cannot read them. Shared by
// the printable conversations and the window's thumbnails.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>

namespace salvor::pdf {

// Whether the bytes are a HEIF container, told by their file type box
// (stored files carry no extension).
bool isHeif(const QByteArray& bytes);

// The primary picture, decoded whole (HEVC tiles cannot be scaled while
// decoding) with the rotation and mirroring it is stored with, then scaled
// into `box`; a null image when it cannot be read or holds more than
// `maxPixels` pixels.
QImage decodeHeif(const QByteArray& bytes, QSize box, qint64 maxPixels);

}  // namespace salvor::pdf
